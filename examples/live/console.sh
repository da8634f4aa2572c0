#!/bin/sh
# The live page's console: websrv runs this program for each WebSocket connection to /console
# ("-websocket /console examples/live/console.sh"). Each message typed on the page arrives as
# one line of standard input; each line printed goes back to the page as one message. The
# program's end closes the connection, and the page's close ends the program. Plain POSIX sh,
# reading only the kernel's files under /proc, so it runs on the smallest device shell.
set -f  # the words typed are words, never file name patterns

printf 'Connected to %s as %s. Type "help".\n' "${SERVER_NAME:-the device}" "${REMOTE_USER:-${REMOTE_ADDR:-you}}"
while IFS= read -r line; do
    # shellcheck disable=SC2086 # split into the command and its words on purpose
    set -- $line
    case ${1:-} in
        '') ;;
        help) echo 'Commands: uptime, load, memory, date, echo TEXT, bye' ;;
        uptime) read -r up _ </proc/uptime && echo "up ${up%.*} s" ;;
        load) read -r one five fifteen _ </proc/loadavg && echo "load $one $five $fifteen" ;;
        memory)
            while read -r key value _; do
                [ "$key" = MemAvailable: ] && echo "available $((value / 1024)) MiB"
            done </proc/meminfo ;;
        date) date -u '+%Y-%m-%d %H:%M:%S UTC' ;;
        echo) shift; printf '%s\n' "$*" ;;
        bye) echo 'Bye.'; exit 0 ;;
        *) printf 'unknown command: %s\n' "$1" ;;
    esac
done
