#!/bin/sh
# Server-sent events from a CGI program: the device's load and available memory once a second,
# for the live page's graph. websrv passes each event to the page as soon as it is written,
# and ends the program when the page goes away. Reads only the kernel's files under /proc.
printf 'Content-Type: text/event-stream\r\nCache-Control: no-store\r\n\r\n'
while :; do
    read -r load _ </proc/loadavg
    available=0
    while read -r key value _; do
        [ "$key" = MemAvailable: ] && available=$value
    done </proc/meminfo
    printf 'data: {"load":%s,"available_kib":%s}\n\n' "$load" "$available"
    sleep 1
done
