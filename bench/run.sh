#!/usr/bin/env bash
# Measures websrv against BusyBox httpd and lighttpd on loopback with ApacheBench (ab): static
# files of 1 KiB, 64 KiB and 10 MiB, a compiled CGI program and a shell CGI program, each at
# concurrency 1 and 8, one new HTTP/1.0 connection per request; and the 1 KiB file over TLS,
# websrv with https.so against lighttpd with mod_openssl (same certificate, a new TLS
# connection per request). The same cells run again with websrv's processes serving many
# connections (-r), and the 1 KiB file with keep-alive (ab -k, websrv -k). Every server serves
# the same document root; the servers take turns within each round, and each figure is the
# median over the rounds. Then the resident memory of one websrv process over 5,000
# connections, and bench/fairness.py. Prints the tables and writes them to bench/RESULTS.md.
# It measures and reports which targets are met; it does not fail on a missed target.
#
# Usage: bench/run.sh [BUILD_DIR]      (default: build-bench in the repository)
# Environment:
#   ROUNDS=5           rounds of every cell
#   CELL_SECONDS=1.5   rough length of one ab run; the request count of each cell is sized
#                      from a short trial run of every server
#   BENCH_RESULTS=F    where the table goes (default bench/RESULTS.md; "-" writes none)
#   BENCH_KEEP=1       keep the temporary directory (ab outputs, server logs)
#   BENCH_JOBS=N       start websrv with "-j N" (connections served at once), when the
#                      server knows that option; without it, or when it does not, none is given
#
# Run as root, it installs busybox, lighttpd, lighttpd-mod-openssl, apache2-utils, openssl and
# libssl-dev with apt-get when missing, without starting Debian's lighttpd service. Only 127.0.0.1 is ever contacted, and every
# process it starts is stopped by its pid before it exits.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")
build=${1:-$repo/build-bench}
case $build in /*) ;; *) build=$PWD/$build ;; esac
rounds=${ROUNDS:-5}
cell_seconds=${CELL_SECONDS:-1.5}
results_file=${BENCH_RESULTS:-$here/RESULTS.md}

log() { printf '%s\n' "$*" >&2; }
die() { log "bench: $*"; exit 1; }

case $rounds in '' | *[!0-9]* | 0) die "ROUNDS must be a positive number" ;; esac

# --- peers -----------------------------------------------------------------------------------

install_peers() {
    local missing=()
    command -v busybox >/dev/null 2>&1 || missing+=(busybox)
    command -v lighttpd >/dev/null 2>&1 || missing+=(lighttpd)
    command -v ab >/dev/null 2>&1 || missing+=(apache2-utils)
    [ -e /usr/lib/lighttpd/mod_openssl.so ] || missing+=(lighttpd-mod-openssl)
    command -v openssl >/dev/null 2>&1 || missing+=(openssl)
    [ -e /usr/include/openssl/ssl.h ] || missing+=(libssl-dev)
    [ ${#missing[@]} -eq 0 ] && return 0
    [ "$(id -u)" -eq 0 ] || die "missing ${missing[*]}; run as root to install them"
    log "bench: installing ${missing[*]}"
    # Installing lighttpd would start Debian's service on port 80. A policy-rc.d that refuses
    # every start keeps it down; one already in place is left as it is.
    local policy=/usr/sbin/policy-rc.d added=0
    if [ ! -e $policy ]; then
        printf '#!/bin/sh\nexit 101\n' >$policy
        chmod 755 $policy
        added=1
    fi
    local status=0
    { apt-get update -qq -o DPkg::Lock::Timeout=300 &&
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq -o DPkg::Lock::Timeout=300 \
            --no-install-recommends "${missing[@]}"; } >&2 || status=$?
    [ $added -eq 1 ] && rm -f $policy
    [ $status -eq 0 ] || die "apt-get install ${missing[*]} failed"
}

install_peers
busybox httpd --help >/dev/null 2>&1 || die "this busybox has no httpd applet"
for tool in cc cmake ninja timeout; do
    command -v $tool >/dev/null 2>&1 || die "$tool is needed"
done

# --- websrv ----------------------------------------------------------------------------------

log "bench: building a Release websrv in $build"
mkdir -p "$build"
cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DWEBSRV_TESTS=OFF \
    -DWEBSRV_PORT_FILE="$build/webport" >"$build/bench-build.log" 2>&1 &&
    cmake --build "$build" >>"$build/bench-build.log" 2>&1 ||
    { cat "$build/bench-build.log" >&2; die "building websrv failed"; }
[ -x "$build/websrv" ] && [ -f "$build/plugins/http.so" ] && [ -f "$build/plugins/https.so" ] ||
    die "no websrv, http.so or https.so in $build"

# --- document root ---------------------------------------------------------------------------

work=$(mktemp -d /tmp/websrv-bench.XXXXXX)
pids=()

stop_pid() {
    local pid=$1 i
    kill -TERM "$pid" 2>/dev/null || return 0
    for ((i = 0; i < 50; i++)); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
}

cleanup() {
    local pid
    for pid in "${pids[@]}"; do stop_pid "$pid"; done
    if [ "${BENCH_KEEP:-0}" = 1 ]; then
        log "bench: kept $work"
    else
        rm -rf "$work"
    fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

www=$work/www
mkdir -p "$www/cgi-bin"
head -c 1024 /dev/urandom >"$www/1k.bin"
head -c 65536 /dev/urandom >"$www/64k.bin"
head -c 10485760 /dev/urandom >"$www/10m.bin"
cc -O2 -o "$www/cgi-bin/hello.cgi" "$here/hello_cgi.c" || die "cannot compile hello_cgi.c"
cc -O2 -shared -fPIC -o "$work/source_bind.so" "$here/source_bind.c" -ldl || die "cannot compile source_bind.c"
cat >"$www/cgi-bin/hello.sh" <<'EOF'
#!/bin/sh
# The shell twin of hello.cgi: the same page.
printf 'Content-Type: text/html\r\n\r\n<html><head><title>Hello</title></head>\n<body><p>Hello from a CGI program.</p></body></html>\n'
EOF
# A program that reads its whole request body, for curl's upload.
cat >"$www/cgi-bin/sink.sh" <<'EOF'
#!/bin/sh
# Reads the request body, then answers how many bytes it read.
size=$(wc -c)
printf 'Content-Type: text/plain\r\n\r\n%s\n' "$size"
EOF
chmod 755 "$www/cgi-bin/hello.cgi" "$www/cgi-bin/hello.sh" "$www/cgi-bin/sink.sh"
head -c 2097152 /dev/urandom >"$work/upload.bin"
cmp -s <("$www/cgi-bin/hello.cgi") <("$www/cgi-bin/hello.sh") || die "hello.cgi and hello.sh differ"

# --- servers ---------------------------------------------------------------------------------

# A loopback port that nothing listens on now (the kernel picks it).
free_port() {
    if command -v python3 >/dev/null 2>&1; then
        python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])' &&
            return 0
    fi
    local port i
    for ((i = 0; i < 200; i++)); do
        port=$((20000 + RANDOM % 40000))
        if ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
            echo $port
            return 0
        fi
    done
    die "no free port found"
}

# Fetches http://127.0.0.1:PORT/PATH with a plain HTTP/1.0 request into FILE (header and body).
fetch() {
    timeout 20 bash -c 'exec 3<>/dev/tcp/127.0.0.1/$1 || exit 1
        printf "GET /%s HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n" "$2" >&3
        cat <&3 >"$3"' fetch "$1" "$2" "$3"
}

# The servers of plain HTTP, and those of TLS: each cell is measured with one group.
plain_names=(websrv busybox lighttpd)
tls_names=(websrv-tls lighttpd-tls)
# websrv as the cells with eight clients at once measure it: with "-j 8" (BENCH_JOBS); with
# processes that serve up to 1000 connections each (-r), and with keep-alive (-k); one process
# that serves every connection, for its memory over many of them.
jobs_names=(websrv-j websrv-tls-j)
lasting_names=(websrv-r2 websrv-r8 websrv-k websrv-tls-r2)
# websrv with the device API example (led.so) on http.so's port, one session at a time and 8.
api_names=(websrv-api websrv-api-j websrv-api-r2 websrv-api-r8)
reuse_names=(websrv-reuse websrv-tls-reuse)
names=("${plain_names[@]}" "${tls_names[@]}" "${jobs_names[@]}" "${lasting_names[@]}" "${reuse_names[@]}" "${api_names[@]}")
declare -A port pid rss_kb command_line options

for name in "${names[@]}"; do port[$name]=$(free_port); done
[ "$(printf '%s\n' "${port[@]}" | sort -u | wc -l)" -eq ${#names[@]} ] || die "port picking collided; run again"

# One certificate for both TLS servers: P-256, self-signed for 127.0.0.1.
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "$work/tls.key" \
    -out "$work/tls.crt" -days 2 -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 >/dev/null 2>&1 ||
    die "openssl cannot make the test certificate"
chmod 600 "$work/tls.key"

# The sessions websrv serves at once in the cells with several clients.
jobs=${BENCH_JOBS:-8}

: >"$work/httpd.conf" # busybox httpd: no settings of the machine's /etc/httpd.conf
cat >"$work/lighttpd.conf" <<EOF
server.document-root = "$www"
server.port = ${port[lighttpd]}
server.bind = "127.0.0.1"
server.errorlog = "$work/lighttpd.error.log"
server.modules = ("mod_cgi")
cgi.assign = (".cgi" => "", ".sh" => "")
EOF
cat >"$work/lighttpd-tls.conf" <<EOF
server.document-root = "$www"
server.port = ${port[lighttpd-tls]}
server.bind = "127.0.0.1"
server.errorlog = "$work/lighttpd-tls.error.log"
server.modules = ("mod_openssl")
ssl.engine = "enable"
ssl.pemfile = "$work/tls.crt"
ssl.privkey = "$work/tls.key"
EOF

# websrv's options of each of its servers, in front of the plug-in's.
options=([websrv]="" [websrv-j]="-j $jobs" [websrv-tls]="" [websrv-tls-j]="-j $jobs"
    [websrv-r2]="-j 2 -r 1000" [websrv-r8]="-j 8 -r 1000" [websrv-k]="-j 8 -k 5" [websrv-tls-r2]="-j 2 -r 1000"
    [websrv-reuse]="-r 100000" [websrv-tls-reuse]="-r 100000" [websrv-api]="" [websrv-api-j]="-j $jobs"
    [websrv-api-r2]="-j 2 -r 1000" [websrv-api-r8]="-j 8 -r 1000")
for name in websrv websrv-j websrv-r2 websrv-r8 websrv-k websrv-reuse; do
    command_line[$name]="$build/websrv ${options[$name]}${options[$name]:+ }-plugin $build/plugins/http.so -port ${port[$name]} -c cgi-bin -d $www"
done
for name in "${api_names[@]}"; do
    command_line[$name]="$build/websrv ${options[$name]}${options[$name]:+ }-plugin $build/plugins/http.so -port ${port[$name]} -plugin $build/examples/led.so -led-port ${port[$name]} -led-state $work/$name.led -c cgi-bin -d $www"
done
for name in websrv-tls websrv-tls-j websrv-tls-r2 websrv-tls-reuse; do
    command_line[$name]="$build/websrv ${options[$name]}${options[$name]:+ }-plugin $build/plugins/https.so -tls-port ${port[$name]} -cert $work/tls.crt -key $work/tls.key -d $www"
done
command_line[lighttpd-tls]="lighttpd -D -f $work/lighttpd-tls.conf"
command_line[busybox]="busybox httpd -f -p 127.0.0.1:${port[busybox]} -h $www -c $work/httpd.conf"
command_line[lighttpd]="lighttpd -D -f $work/lighttpd.conf"

# Starts a server, waits (10 seconds at most) until its port takes connections, and notes the
# resident memory of its main process before it has served any request.
start_server() {
    local name=$1 i
    # shellcheck disable=SC2086  # the command line is split into words on purpose
    ${command_line[$name]} >"$work/$name.log" 2>&1 &
    pid[$name]=$!
    pids+=("${pid[$name]}")
    for ((i = 0; i < 100; i++)); do
        kill -0 "${pid[$name]}" 2>/dev/null || { cat "$work/$name.log" >&2; die "$name ended at start"; }
        if (exec 3<>"/dev/tcp/127.0.0.1/${port[$name]}") 2>/dev/null; then
            sleep 0.2 # the probe connection is served and gone before memory is looked at
            rss_kb[$name]=$(awk '/^VmRSS:/ { print $2 }' "/proc/${pid[$name]}/status")
            return 0
        fi
        sleep 0.1
    done
    die "$name did not listen on port ${port[$name]} within 10 seconds"
}

for conf in lighttpd lighttpd-tls; do
    lighttpd -tt -f "$work/$conf.conf" >/dev/null 2>&1 || die "lighttpd rejects $conf.conf"
done
for name in "${names[@]}"; do start_server "$name"; done

# Every server must give the right answer before its speed counts.
for name in "${tls_names[@]}" websrv-tls-j websrv-tls-r2 websrv-tls-reuse; do
    curl -sS --cacert "$work/tls.crt" -o "$work/answer" "https://127.0.0.1:${port[$name]}/1k.bin" ||
        die "$name: no answer for /1k.bin over TLS"
    cmp -s "$work/answer" "$www/1k.bin" || die "$name: /1k.bin over TLS: wrong body"
done
for name in "${plain_names[@]}" websrv-j websrv-r2 websrv-r8 websrv-k websrv-reuse; do
    for file in 1k.bin 64k.bin 10m.bin; do
        fetch "${port[$name]}" "$file" "$work/answer" || die "$name: no answer for /$file"
        head -n 1 "$work/answer" | grep -q ' 200 ' || die "$name: /$file: $(head -n 1 "$work/answer")"
        cmp -s <(tail -c "$(stat -c %s "$www/$file")" "$work/answer") "$www/$file" ||
            die "$name: /$file: wrong body"
    done
    for program in hello.cgi hello.sh; do
        fetch "${port[$name]}" "cgi-bin/$program" "$work/answer" || die "$name: no answer for /cgi-bin/$program"
        head -n 1 "$work/answer" | grep -q ' 200 ' ||
            die "$name: /cgi-bin/$program: $(head -n 1 "$work/answer")"
        grep -q 'Hello from a CGI program' "$work/answer" || die "$name: /cgi-bin/$program: wrong body"
    done
done
for name in "${api_names[@]}"; do
    fetch "${port[$name]}" api/led "$work/answer" || die "$name: no answer for /api/led"
    grep -q '{"on":false}' "$work/answer" || die "$name: /api/led: $(head -n 1 "$work/answer")"
done
log "bench: every server answers correctly"

# --- measuring -------------------------------------------------------------------------------

# Cells: key, label, path, concurrency, body bytes (0 for CGI), group (the peers measured:
# "plain", "tls"; websrv alone: "self" for the example plug-in's URL, "own" for the programs it
# is set against), the websrv server, client addresses (1 or 2) and ab's extra option (-k).
cells=(
    "file-1|1 KiB file|1k.bin|1|1024|plain|websrv|2|"
    "file-8|1 KiB file|1k.bin|8|1024|plain|websrv-j|2|"
    "64k-1|64 KiB file|64k.bin|1|65536|plain|websrv|2|"
    "64k-8|64 KiB file|64k.bin|8|65536|plain|websrv-j|2|"
    "10m-1|10 MiB file|10m.bin|1|10485760|plain|websrv|2|"
    "10m-8|10 MiB file|10m.bin|8|10485760|plain|websrv-j|2|"
    "cgi-1|compiled CGI|cgi-bin/hello.cgi|1|0|plain|websrv|2|"
    "cgi-8|compiled CGI|cgi-bin/hello.cgi|8|0|plain|websrv-j|2|"
    "sh-1|shell CGI|cgi-bin/hello.sh|1|0|plain|websrv|2|"
    "sh-8|shell CGI|cgi-bin/hello.sh|8|0|plain|websrv-j|2|"
    "r-file-1|1 KiB file|1k.bin|1|1024|plain|websrv-r2|2|"
    "r-file-8|1 KiB file|1k.bin|8|1024|plain|websrv-r8|2|"
    "r-file-8-one|1 KiB file, one address|1k.bin|8|1024|plain|websrv-r8|1|"
    "k-file-8|1 KiB file, keep-alive (ab -k)|1k.bin|8|1024|plain|websrv-k|2|-k"
    "r-cgi-1|compiled CGI|cgi-bin/hello.cgi|1|0|plain|websrv-r2|2|"
    "api-1|device API (led.so)|api/led|1|0|self|websrv-api|2|"
    "api-8|device API (led.so)|api/led|8|0|self|websrv-api-j|2|"
    "r-sh-1|shell CGI|cgi-bin/hello.sh|1|0|own|websrv-r2|2|"
    "r-sh-8|shell CGI|cgi-bin/hello.sh|8|0|own|websrv-r8|2|"
    "r-cgi-8|compiled CGI|cgi-bin/hello.cgi|8|0|own|websrv-r8|2|"
    "r-api-1|device API (led.so)|api/led|1|0|self|websrv-api-r2|2|"
    "r-api-8|device API (led.so)|api/led|8|0|self|websrv-api-r8|2|"
    "tls-1|1 KiB file over TLS|1k.bin|1|1024|tls|websrv-tls|2|"
    "tls-8|1 KiB file over TLS|1k.bin|8|1024|tls|websrv-tls-j|2|"
    "r-tls-1|1 KiB file over TLS|1k.bin|1|1024|tls|websrv-tls-r2|2|"
    "r-tls-8|1 KiB file over TLS|1k.bin|8|1024|tls|websrv-tls-r2|2|"
)

# The servers of a cell: its websrv server, then the peers of its group (none for "self" and
# "own"), one name a line.
servers_of() {
    printf '%s\n' "$2"
    case $1 in tls) printf '%s\n' lighttpd-tls ;; plain) printf '%s\n' busybox lighttpd ;; esac
}

# The role a server plays in the tables: websrv, busybox or lighttpd.
role_of() {
    case $1 in websrv*) echo websrv ;; lighttpd*) echo lighttpd ;; *) echo "$1" ;; esac
}

# Runs ab once; prints "requests/s failed complete". A run that ab could not finish counts
# every request as failed. -r: a receive error is counted as a failed request, not the end.
ab_once() {
    local name=$1 path=$2 c=$3 n=$4 out=$5 source=$6 extra=$7 scheme=http
    case $name in *-tls*) scheme=https ;; esac
    # shellcheck disable=SC2086  # no extra option is no word
    if ! LD_PRELOAD="$work/source_bind.so" BENCH_SOURCE="$source" \
        timeout 300 ab $extra -r -n "$n" -c "$c" "$scheme://127.0.0.1:${port[$name]}/$path" >"$out" 2>&1; then
        echo "0 $n 0"
        return 0
    fi
    awk -v n="$n" '
        /^Complete requests:/ { complete = $3 }
        /^Failed requests:/ { failed = $3 }
        /^Non-2xx responses:/ { non2xx = $3 }
        /^Requests per second:/ { rps = $4 }
        END { print rps + 0, failed + non2xx + (n - complete), complete + 0 }' "$out"
}

# Runs a cell's load on one server. One client (127.0.0.2) for c=1 or for one address; for
# two, two clients of their own addresses (127.0.0.2 and 127.0.0.3) with half the connections
# each, at the same time, as a server may give one address only half of its sessions. Prints
# "requests/s failed complete", the two clients' figures added up.
run_ab() {
    local name=$1 path=$2 c=$3 n=$4 out=$5 addresses=$6 extra=$7
    if [ "$c" -eq 1 ] || [ "$addresses" -eq 1 ]; then
        ab_once "$name" "$path" "$c" "$n" "$out" 127.0.0.2 "$extra"
        return 0
    fi
    ab_once "$name" "$path" $((c / 2)) $((n / 2)) "$out.a" 127.0.0.2 "$extra" >"$out.ra" &
    ab_once "$name" "$path" $((c - c / 2)) $((n - n / 2)) "$out.b" 127.0.0.3 "$extra" >"$out.rb"
    wait
    cat "$out.a" "$out.b" >"$out"
    paste -d' ' "$out.ra" "$out.rb" | awk '{ print $1 + $4, $2 + $5, $3 + $6 }'
}

load_start=$(cut -d' ' -f1-3 /proc/loadavg)
started=$(date -u '+%Y-%m-%d %H:%M UTC')
: >"$work/results"
declare -a cell_n

# Sizes each cell: a short trial of every server gives its rate; the cell's request count is
# the middle rate (the lower one of two) times CELL_SECONDS, the same count for all the cell's
# servers.
for i in "${!cells[@]}"; do
    IFS='|' read -r _ label path c bytes group server addresses extra <<<"${cells[$i]}"
    trial=$((bytes >= 1048576 ? 8 * c : 40 * c))
    rates=()
    mapfile -t group_names < <(servers_of "$group" "$server")
    for name in "${group_names[@]}"; do
        read -r rps _ _ <<<"$(run_ab "$name" "$path" "$c" "$trial" "$work/trial.out" "$addresses" "$extra")"
        rates+=("$rps")
    done
    cell_n[i]=$(printf '%s\n' "${rates[@]}" | sort -g | awk -v s="$cell_seconds" -v c="$c" -v k="${#rates[@]}" '
        NR == int((k + 1) / 2) { n = int($1 * s); if (n < 20 * c) n = 20 * c; if (n > 50000) n = 50000; print n }')
    log "bench: $label c=$c ($server): ${cell_n[$i]} requests per run (trial rates ${rates[*]})"
done

for ((round = 1; round <= rounds; round++)); do
    log "bench: round $round of $rounds"
    for i in "${!cells[@]}"; do
        IFS='|' read -r _ label path c bytes group server addresses extra <<<"${cells[$i]}"
        mapfile -t group_names < <(servers_of "$group" "$server")
        # The server that goes first changes from round to round.
        for ((k = 0; k < ${#group_names[@]}; k++)); do
            name=${group_names[$(((round + i + k) % ${#group_names[@]}))]}
            out=$work/ab.$round.$i.$name.out
            read -r rps failed complete <<<"$(run_ab "$name" "$path" "$c" "${cell_n[$i]}" "$out" "$addresses" "$extra")"
            echo "$i $(role_of "$name") $round $rps $failed $complete" >>"$work/results"
        done
    done
done
load_end=$(cut -d' ' -f1-3 /proc/loadavg)

# --- one process over many connections -------------------------------------------------------

# The resident memory (kB) of a server's connection processes, added up.
children_rss() {
    local child total=0
    for child in $(cat "/proc/$1/task/$1/children"); do
        total=$((total + $(awk '/^VmRSS:/ { print $2 }' "/proc/$child/status")))
    done
    echo $total
}

# websrv's one connection process (-r 100000) after 200 connections, and again after 5,000
# more: what serving a connection leaves behind.
declare -A reuse_kb
for name in "${reuse_names[@]}"; do
    run_ab "$name" 1k.bin 1 200 "$work/reuse.out" 1 "" >/dev/null
    before=$(children_rss "${pid[$name]}")
    read -r _ failed _ <<<"$(run_ab "$name" 1k.bin 1 5000 "$work/reuse.out" 1 "")"
    after=$(children_rss "${pid[$name]}")
    reuse_kb[$name]="$before kB after 200 connections, $after kB after 5,200 ($((after - before)) kB grown, $failed failed)"
done

# curl's POST of 2 MB to a program that reads it: curl sends "Expect: 100-continue" and holds
# the body back until the server says go on, or for a second. The median of five, in seconds.
upload_seconds=$(for ((i = 0; i < 5; i++)); do
    curl -sS -o "$work/upload.answer" -w '%{time_total}\n' --data-binary @"$work/upload.bin" \
        "http://127.0.0.1:${port[websrv]}/cgi-bin/sink.sh"
    [ "$(tr -d ' \r\n' <"$work/upload.answer")" = 2097152 ] || echo 99
done | sort -g | sed -n 3p)

# --- report ----------------------------------------------------------------------------------

for i in "${!cells[@]}"; do
    IFS='|' read -r _ _ _ _ _ _ server _ _ <<<"${cells[$i]}"
    printf 'cell %s %s %s|%s\n' "$i" "${cell_n[$i]}" "${cells[$i]}" "${options[$server]:--}"
done >"$work/cells"

# One table row per cell: medians over the rounds, and the ratios websrv/peer taken within each
# round (the same load conditions) with their median. Then the targets.
summary=$(awk '
    function median(list,    v, k, n, j, t) {
        n = split(list, v, " ")
        for (k = 2; k <= n; k++)
            for (j = k; j > 1 && v[j - 1] + 0 > v[j] + 0; j--) { t = v[j]; v[j] = v[j - 1]; v[j - 1] = t }
        if (n == 0) return 0
        return n % 2 ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2
    }
    function fmt(x) { return x >= 100 ? sprintf("%.0f", x) : sprintf("%.1f", x) }
    # The median over the rounds of websrv / peer in each round.
    function ratio(i, peer,    r, list) {
        list = ""
        for (r in rounds)
            if (at[i, peer, r] > 0) list = list " " at[i, "websrv", r] / at[i, peer, r]
        return median(list)
    }
    FNR == NR {
        split($0, head, " "); i = head[2]; n[i] = head[3]
        rest = $0; sub(/^cell [0-9]+ [0-9]+ /, "", rest)
        split(rest, f, "|"); label[i] = f[2]; conc[i] = f[4]; bytes[i] = f[5]; group[i] = f[6]
        opts[i] = f[10]; key[i] = f[1]; cell_of[f[1]] = i; cells = i + 1
        next
    }
    {
        i = $1; s = $2; r = $3
        rps[i, s] = rps[i, s] " " $4; fail[i, s] += $5
        at[i, s, r] = $4
        rounds[r] = 1
    }
    END {
        print "| test | websrv options | c | n | websrv req/s | BusyBox req/s | lighttpd req/s | websrv MB/s | BusyBox MB/s | lighttpd MB/s | websrv/BusyBox | websrv/lighttpd | failed (websrv/BusyBox/lighttpd) |"
        print "|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|"
        for (i = 0; i < cells; i++) {
            if (group[i] != "plain") continue
            ratio_bb[i] = ratio(i, "busybox"); ratio_lt[i] = ratio(i, "lighttpd")
            for (k = 1; k <= 3; k++) {
                s = k == 1 ? "websrv" : k == 2 ? "busybox" : "lighttpd"
                m[s] = median(rps[i, s])
                mb[s] = bytes[i] > 0 ? fmt(m[s] * bytes[i] / 1e6) : "-"
            }
            printf "| %s | %s | %d | %d | %s | %s | %s | %s | %s | %s | %.2f | %.2f | %d / %d / %d |\n",
                label[i], opts[i], conc[i], n[i], fmt(m["websrv"]), fmt(m["busybox"]), fmt(m["lighttpd"]),
                mb["websrv"], mb["busybox"], mb["lighttpd"], ratio_bb[i], ratio_lt[i],
                fail[i, "websrv"], fail[i, "busybox"], fail[i, "lighttpd"]
        }
        print ""
        print "Targets:"
        target("file-1", "websrv/BusyBox req/s", ratio_bb, 1.3)
        target("file-8", "websrv/BusyBox req/s", ratio_bb, 1.3)
        target("64k-8", "websrv/BusyBox req/s", ratio_bb, 1.3)
        target("10m-1", "websrv/lighttpd MB/s", ratio_lt, 0.95)
        target("10m-8", "websrv/lighttpd MB/s", ratio_lt, 0.95)
        target("cgi-1", "websrv/BusyBox req/s", ratio_bb, 1.2)
        target("cgi-8", "websrv/BusyBox req/s", ratio_bb, 1.2)
        no_failure("file-8"); no_failure("64k-8"); no_failure("10m-8"); no_failure("cgi-8"); no_failure("sh-8")
        target("r-file-1", "websrv/lighttpd req/s", ratio_lt, 1.0)
        target("r-file-8", "websrv/lighttpd req/s", ratio_lt, 0.9)
        target("r-file-8-one", "websrv/lighttpd req/s", ratio_lt, 0.9)
        no_failure("r-file-8"); no_failure("r-file-8-one")
        target("k-file-8", "websrv/lighttpd req/s", ratio_lt, 0.9)
        target("r-cgi-1", "websrv/BusyBox req/s", ratio_bb, 1.2)
        tls_table()
        api_table()
    }
    # websrv against itself: the URL of the example plug-in against the CGI programs, in the same rounds.
    function api_table(    i, k, other, list, r) {
        print ""
        print "The device API example (led.so answers GET /api/led itself) against the CGI programs of the same websrv:"
        print ""
        print "| test | websrv options | c | n | req/s | failed | / shell CGI | / compiled CGI |"
        print "|---|---|---:|---:|---:|---:|---:|---:|"
        for (i = 0; i < cells; i++) {
            if (group[i] != "self") continue
            for (k = 1; k <= 2; k++) {
                # The programs on a websrv of the same options: "r-api-1" against "r-sh-1".
                other = cell_of[(key[i] ~ /^r-/ ? "r-" : "") (k == 1 ? "sh-" : "cgi-") conc[i]]
                list = ""
                for (r in rounds)
                    if (at[other, "websrv", r] > 0) list = list " " at[i, "websrv", r] / at[other, "websrv", r]
                versus[i, k] = median(list)
            }
            printf "| %s | %s | %d | %d | %s | %d | %.1f | %.1f |\n", label[i], opts[i], conc[i], n[i],
                fmt(median(rps[i, "websrv"])), fail[i, "websrv"], versus[i, 1], versus[i, 2]
        }
        print ""
        print "Targets:"
        for (i = 0; i < cells; i++) {
            if (group[i] != "self") continue
            printf "- %s, against the shell CGI at least 10x: %.1f: %s\n", describe_key(i), versus[i, 1], (versus[i, 1] >= 10 ? "met" : "MISSED")
            printf "- %s, against the compiled CGI at least 3x: %.1f: %s\n", describe_key(i), versus[i, 2], (versus[i, 2] >= 3 ? "met" : "MISSED")
        }
    }
    # TLS: websrv with https.so against lighttpd with mod_openssl.
    function tls_table(    i, w, l) {
        print ""
        print "Over TLS (websrv with https.so, lighttpd with mod_openssl, the same P-256 certificate):"
        print ""
        print "| test | websrv options | c | n | websrv req/s | lighttpd req/s | websrv/lighttpd | failed (websrv/lighttpd) |"
        print "|---|---|---:|---:|---:|---:|---:|---|"
        for (i = 0; i < cells; i++) {
            if (group[i] != "tls") continue
            ratio_lt[i] = ratio(i, "lighttpd")
            w = median(rps[i, "websrv"]); l = median(rps[i, "lighttpd"])
            printf "| %s | %s | %d | %d | %s | %s | %.2f | %d / %d |\n", label[i], opts[i], conc[i], n[i],
                fmt(w), fmt(l), ratio_lt[i], fail[i, "websrv"], fail[i, "lighttpd"]
        }
        print ""
        print "Targets:"
        target("tls-1", "websrv/lighttpd req/s", ratio_lt, 0.9)
        target("tls-8", "websrv/lighttpd req/s", ratio_lt, 0.9)
        target("r-tls-1", "websrv/lighttpd req/s", ratio_lt, 1.0)
        target("r-tls-8", "websrv/lighttpd req/s", ratio_lt, 0.95)
    }
    function describe(key) {
        return describe_key(cell_of[key])
    }
    function describe_key(i) {
        return label[i] " c=" conc[i] (opts[i] == "-" ? "" : " (websrv " opts[i] ")")
    }
    function target(key, measure, ratios, want,    value) {
        value = ratios[cell_of[key]]
        printf "- %s, %s at least %.2f: %.2f: %s\n", describe(key), measure, want, value, (value >= want ? "met" : "MISSED")
    }
    function no_failure(key,    failed) {
        failed = fail[cell_of[key], "websrv"]
        printf "- %s, no failed websrv request: %d failed: %s\n", describe(key), failed, (failed == 0 ? "met" : "MISSED")
    }' "$work/cells" "$work/results")

# Clients that trickle or hold connections idle, against websrv alone (bench/fairness.py).
fairness=$(python3 "$here/fairness.py" "$build/websrv" "$build/plugins/http.so" "$www" "$work" \
    "$build/plugins/https.so" "$work/tls.crt" "$work/tls.key") ||
    fairness="(bench/fairness.py failed)"

cpu=$(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo)
# The first line a command prints. Its whole output is read first: a reader that stops early
# would end the command with SIGPIPE, and with pipefail the script with it.
first_line() {
    local text
    text=$("$@" 2>&1 || true)
    printf '%s\n' "${text%%$'\n'*}"
}
websrv_version=$(first_line "$build/websrv")
busybox_version=$(first_line busybox | sed 's/ multi-call binary.*//')
lighttpd_version=$(first_line lighttpd -v | sed 's/ - .*//')
ab_version=$(first_line ab -V | sed 's/This is //; s/, Version/ version/; s/ <.*//')
compiler_version=$(first_line c++ --version)
# Other work on the machine shows in the figures: a busy start is pointed out.
busy_note=$(awk -v cores="$(nproc)" '{ if ($1 >= cores / 2) printf "\n  The machine was busy with other work (load at least half its cores): figures vary between runs." }' <<<"$load_start")
report=$(cat <<EOF
# Benchmark results

Latest run of \`bench/run.sh\`, started $started.

- Machine: $(nproc) cores (${cpu:-unknown CPU}), kernel $(uname -r).
- Load average (1, 5, 15 minutes): $load_start at the start, $load_end at the end.$busy_note
- websrv: $websrv_version, Release build ($compiler_version).
- Peers: $busybox_version; $lighttpd_version; $ab_version.

Every cell runs \`ab -r -n N -c C http://127.0.0.1:PORT/PATH\` (HTTP/1.0, a new connection per
request; https:// and a new TLS connection for the cells over TLS) against each server of its
group in turn, in $rounds rounds; the server that goes first changes from
round to round. A cell of one connection at a time is one client (127.0.0.2); a cell of c=8 is
two clients of their own addresses (127.0.0.2 and 127.0.0.3, through \`bench/source_bind.c\`)
with four connections each, at the same time, against every server alike, unless it says "one
address": websrv lets one address have at most half of its sessions at work. The column
"websrv options" gives websrv's options for the cell ("-" for none: one session at a time, a
fresh process per connection); the keep-alive cell runs \`ab -k\` against every server.
Figures are medians over the rounds. A ratio is the median, over the rounds, of
websrv's requests per second divided by the peer's in the same round. MB/s counts file bodies
(10^6 bytes). Failed requests are summed over the rounds: those ab counts as failed, non-2xx
answers, and requests that never completed.

$summary

Idle resident memory of each server's main process (VmRSS before any load): websrv
${rss_kb[websrv]} kB (target: at most 1700 kB; with -j $jobs ${rss_kb[websrv-j]} kB, with
${options[websrv-r8]} ${rss_kb[websrv-r8]} kB), BusyBox httpd
${rss_kb[busybox]} kB, lighttpd ${rss_kb[lighttpd]} kB; over TLS
websrv with https.so ${rss_kb[websrv-tls]} kB (target: at most 4096 kB), lighttpd with
mod_openssl ${rss_kb[lighttpd-tls]} kB.

curl's POST of 2 MB to a program that reads it, with its \`Expect: 100-continue\`: ${upload_seconds} s
(median of five; target: under 0.1 s).

One websrv connection process serving connection after connection (\`${options[websrv-reuse]}\`, target:
less than 64 kB growth over 5,000 connections): ${reuse_kb[websrv-reuse]}; with
https.so ${reuse_kb[websrv-tls-reuse]}.

The commands (\$BUILD is the build directory, \$TMP the run's temporary directory, each server on
its own free loopback port):

\`\`\`
cmake -S . -B \$BUILD -G Ninja -DCMAKE_BUILD_TYPE=Release -DWEBSRV_TESTS=OFF -DWEBSRV_PORT_FILE=\$BUILD/webport
${command_line[websrv]}
${command_line[websrv-j]}
${command_line[busybox]}
${command_line[lighttpd]}
${command_line[websrv-tls]}
${command_line[websrv-tls-j]}
${command_line[websrv-r2]}
${command_line[websrv-r8]}
${command_line[websrv-k]}
${command_line[websrv-tls-r2]}
${command_line[websrv-reuse]}
${command_line[websrv-tls-reuse]}
${command_line[lighttpd-tls]}
\`\`\`

$fairness

lighttpd's generated configurations:

\`\`\`
$(cat "$work/lighttpd.conf")
\`\`\`

\`\`\`
$(cat "$work/lighttpd-tls.conf")
\`\`\`
EOF
)

# The temporary and build directories change from run to run: the table names them by role.
report=${report//$work/\$TMP}
report=${report//$build/\$BUILD}
printf '%s\n' "$report"
if [ "$results_file" != "-" ]; then
    printf '%s\n' "$report" >"$results_file"
    log "bench: wrote $results_file"
fi
