#!/bin/sh
# A CGI program in shell: the device's status as JSON, for the status page's script.
# It reads only the kernel's files under /proc, so it runs on the smallest device shell.
# Values it cannot read come out as null.

# A JSON string: backslashes and quotes escaped, control characters dropped.
json_string() {
    printf '"%s"' "$(printf '%s' "$1" | tr -d '\000-\037' | sed 's/[\\"]/\\&/g')"
}

# A JSON number from the kernel's decimal text, or null when the text is not one.
json_number() {
    case $1 in
        '' | *[!0-9.]* | *.*.* | .* | *.) printf 'null' ;;
        *) printf '%s' "$1" ;;
    esac
}

uptime='' load1='' load5='' load15='' running='' total='' available=''
[ -r /proc/uptime ] && read -r uptime _ < /proc/uptime
[ -r /proc/loadavg ] && read -r load1 load5 load15 running _ < /proc/loadavg
if [ -r /proc/meminfo ]; then
    while read -r key value _; do
        case $key in
            MemTotal:) total=$value ;;
            MemAvailable:) available=$value ;;
        esac
    done < /proc/meminfo
fi
hostname=''
[ -r /proc/sys/kernel/hostname ] && read -r hostname < /proc/sys/kernel/hostname
kernel=''
[ -r /proc/sys/kernel/osrelease ] && read -r kernel < /proc/sys/kernel/osrelease

# The status changes from one request to the next: no cache may keep it.
printf 'Content-Type: application/json\r\nCache-Control: no-store\r\n\r\n'
printf '{"hostname":%s' "$(json_string "$hostname")"
printf ',"kernel":%s' "$(json_string "$kernel")"
printf ',"uptime_seconds":%s' "$(json_number "$uptime")"
printf ',"load":[%s,%s,%s]' "$(json_number "$load1")" "$(json_number "$load5")" "$(json_number "$load15")"
printf ',"processes":%s' "$(json_string "$running")"
printf ',"memory_kib":{"total":%s,"available":%s}' "$(json_number "$total")" "$(json_number "$available")"
printf ',"server":%s' "$(json_string "${SERVER_SOFTWARE:-}")"
printf ',"client":%s' "$(json_string "${REMOTE_ADDR:-}")"
printf ',"time":%s}\n' "$(json_string "$(date -u +%Y-%m-%dT%H:%M:%SZ)")"
