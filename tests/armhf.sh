#!/bin/sh
# Builds the server, the stock and test plug-ins and the unit tests for 32-bit ARM (armhf),
# runs the unit tests under qemu-arm user emulation, checks that the ARM executable and
# plug-ins need only the C library (also when optimized for size), and runs a smoke test of
# the real ARM binary: a static file, a CGI program (GET and POST), a file dated after January
# 2038, a file larger than 4 GiB, then SIGTERM, exit status 0 and the port file without this
# instance's line.
# Run as root, it first installs the Debian packages it needs; otherwise it names the missing ones.
# Usage: tests/armhf.sh [BUILD_DIR]   (default build-armhf, relative to the source tree)
# WEBSRV_KEEP_TEST_DIRS=1 keeps the smoke test's directory (server log, site, responses).
set -eu
cd "$(dirname "$0")/.."
source_dir=$PWD
build=${1:-build-armhf}
sysroot=/usr/arm-linux-gnueabihf

# ---- Packages ----------------------------------------------------------------------------
packages="cmake ninja-build g++-arm-linux-gnueabihf libgtest-dev curl"
command -v qemu-arm >/dev/null || command -v qemu-arm-static >/dev/null || packages="$packages qemu-user"
command -v cc >/dev/null || packages="$packages gcc"
# No recommended packages: qemu-user recommends registering the emulator for ARM programs
# with the kernel, which would change how the whole machine runs foreign binaries.
# shellcheck disable=SC2086
tests/install_packages.sh --no-install-recommends $packages
qemu=$(command -v qemu-arm || command -v qemu-arm-static)

# ---- Build -------------------------------------------------------------------------------
toolchain=$source_dir/cmake/armhf-toolchain.cmake
cmake -S "$source_dir" -B "$build" -G Ninja -DWEBSRV_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" >/dev/null
# What runs here: the server (shipped and test build), the stock plug-ins, the unit tests and
# the test plug-ins they load. The suites that start the real binary need to execute ARM
# programs from ARM programs, which user emulation does not do; they run in the host build.
cmake --build "$build" --target websrv websrv-test http unit_tests

# ---- Unit tests under emulation ----------------------------------------------------------
echo "unit tests under $qemu:"
unit_log=$build/unit_tests.log
if ! "$qemu" -L "$sysroot" "$build/tests/unit_tests" >"$unit_log" 2>&1; then
    cat "$unit_log"
    echo "armhf unit tests FAILED"
    exit 1
fi
grep -E '^\[==========\] [0-9]+ tests? from .* ran|^\[  PASSED  \]' "$unit_log"

# ---- Footprint ---------------------------------------------------------------------------
# The ARM executable and plug-ins need only the C library, in this build and in the one
# optimized for size, as a device image would be built: at -Os the compiler calls its helper
# routines (64-bit division, for one) instead of inlining them.
size_build=$build/minsizerel
cmake -S "$source_dir" -B "$size_build" -G Ninja -DWEBSRV_TESTS=ON -DCMAKE_BUILD_TYPE=MinSizeRel \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" >/dev/null
cmake --build "$size_build" --target websrv http
for dir in "$build" "$size_build"; do
    if ! ctest --test-dir "$dir" -R '^footprint' --no-tests=error -V >"$dir/footprint.log" 2>&1; then
        cat "$dir/footprint.log"
        echo "footprint check FAILED in $dir"
        exit 1
    fi
    echo "footprint of $dir: only the C library needed"
    sed -n 's/^[0-9]*: \(.*bytes stripped\)$/  \1/p' "$dir/footprint.log"
done

# ---- Smoke test of the ARM server --------------------------------------------------------
work=$(mktemp -d "${TMPDIR:-/tmp}/websrv-armhf.XXXXXX")
server_pid=""
watchdog_pid=""
cleanup() {
    [ -z "$watchdog_pid" ] || kill "$watchdog_pid" 2>/dev/null || true
    [ -z "$server_pid" ] || kill -KILL "$server_pid" 2>/dev/null || true
    if [ -n "${WEBSRV_KEEP_TEST_DIRS:-}" ]; then echo "kept $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
trap 'exit 1' INT TERM

checks=0
fail() {
    echo "smoke test FAILED: $*"
    echo "---- server output"
    cat "$work/server.log" 2>/dev/null || true
    exit 1
}
pass() { checks=$((checks + 1)); echo "ok: $*"; }

# The site.
site=$work/site
mkdir -p "$site/cgi-bin"
printf '<html><body>armhf index</body></html>\n' >"$site/index.html"
printf 'static file served by the ARM build\n' >"$site/hello.txt"
cat >"$site/cgi-bin/echo.sh" <<'EOF'
#!/bin/sh
# Answers with its method, port, arguments and, for POST, the request body.
PATH=/usr/bin:/bin
printf 'Content-Type: text/plain\r\n\r\n'
echo "method=$REQUEST_METHOD port=$SERVER_PORT query=$QUERY_STRING"
for arg in "$@"; do echo "arg=[$arg]"; done
if [ "$REQUEST_METHOD" = POST ]; then
    printf 'body=['; head -c "$CONTENT_LENGTH"; echo ']'
fi
EOF
chmod +x "$site/cgi-bin/echo.sh"
# Modified in 2040: past the last second a 32-bit time_t holds.
printf 'from the future\n' >"$site/future.txt"
touch -d '2040-02-29 12:00:00 UTC' "$site/future.txt"
# Larger than 4 GiB (sparse, so it costs no disk): beyond what a 32-bit size_t counts.
big_size=$((4 * 1024 * 1024 * 1024 + 4097))
truncate -s $((big_size - 12)) "$site/big.bin"
printf 'end-of-file\n' >>"$site/big.bin"
[ "$(stat -c %s "$site/big.bin")" = "$big_size" ] || fail "could not make the large file"

# The port file already holds another instance's line, which has to survive our stop.
port_file=$work/webport
printf '65001\n' >"$port_file"

build_abs=$(cd "$build" && pwd)
server=$build_abs/tests/websrv-test
plugin=$build_abs/plugins/http.so

# A port that the kernel handed out and keeps from everyone else while this script runs
# (tests/install/free_ports.c); the server under emulation binds it all the same.
cc -std=c11 -D_DEFAULT_SOURCE -o "$work/free_ports" "$source_dir/tests/install/free_ports.c"
free_port() {
    "$work/free_ports" 1 $$
}

# Starts the server on a free port; waits (at most 60 s) until its port is in the port file,
# which the server writes once the socket listens. Retries when another process took the port.
start_server() {
    for attempt in 1 2 3; do
        port=$(free_port)
        WEBSRV_TEST_PORT_FILE="$port_file" "$qemu" -L "$sysroot" "$server" -v -c cgi-bin \
            -d "$site" -plugin "$plugin" -port "$port" >"$work/server.log" 2>&1 &
        server_pid=$!
        deadline=$(($(date +%s) + 60))
        while [ "$(date +%s)" -lt "$deadline" ]; do
            if grep -qx "$port" "$port_file"; then
                return 0
            fi
            if ! kill -0 "$server_pid" 2>/dev/null; then
                break
            fi
            sleep 0.1
        done
        if kill -0 "$server_pid" 2>/dev/null; then
            fail "server did not list port $port in the port file within 60 s"
        fi
        wait "$server_pid" || true
        server_pid=""
        echo "attempt $attempt: server exited before listening on port $port"
        cat "$work/server.log"
    done
    fail "server did not start"
}

# fetch NAME [curl options] URL_PATH: the response's status, headers and body in $work/NAME.*
fetch() {
    name=$1
    shift
    path=$1
    shift
    curl -sS --http1.0 --max-time 60 -D "$work/$name.head" -o "$work/$name.body" \
        -w '%{http_code}' "$@" "http://127.0.0.1:$port$path" >"$work/$name.status" ||
        fail "$name: curl failed"
}
status_of() { cat "$work/$1.status"; }
header_of() { sed -n "s/^$2: \\(.*\\)\\r\$/\\1/p" "$work/$1.head"; }

start_server
pass "ARM server listening on port $port, listed in the port file"
[ "$(cat "$port_file")" = "$(printf '65001\n%s' "$port")" ] ||
    fail "port file after start: $(cat "$port_file")"
pass "port file holds the other instance's line and ours"

fetch static /hello.txt
[ "$(status_of static)" = 200 ] || fail "static: status $(status_of static)"
cmp -s "$work/static.body" "$site/hello.txt" || fail "static: body differs"
[ "$(header_of static Content-Type)" = text/plain ] || fail "static: content type"
[ "$(header_of static Content-Length)" = "$(stat -c %s "$site/hello.txt")" ] ||
    fail "static: content length $(header_of static Content-Length)"
pass "static file: 200, same bytes, type and length"

fetch index /
[ "$(status_of index)" = 200 ] && cmp -s "$work/index.body" "$site/index.html" ||
    fail "directory request did not serve index.html"
[ "$(header_of index Content-Type)" = text/html ] || fail "index: content type"
pass "GET / serves index.html as text/html"

fetch missing /no-such-file.html
[ "$(status_of missing)" = 404 ] || fail "missing file: status $(status_of missing)"
pass "missing file: 404"

fetch cgi_get '/cgi-bin/echo.sh?one+two%20three'
[ "$(status_of cgi_get)" = 200 ] || fail "CGI GET: status $(status_of cgi_get)"
printf 'method=GET port=%s query=one+two%%20three\narg=[one]\narg=[two three]\n' "$port" >"$work/cgi_get.expected"
cmp -s "$work/cgi_get.body" "$work/cgi_get.expected" ||
    fail "CGI GET: body $(cat "$work/cgi_get.body")"
pass "CGI GET: environment and decoded query words"

fetch cgi_post /cgi-bin/echo.sh --data-binary 'name=armhf&value=42'
[ "$(status_of cgi_post)" = 200 ] || fail "CGI POST: status $(status_of cgi_post)"
printf 'method=POST port=%s query=\nbody=[name=armhf&value=42]\n' "$port" >"$work/cgi_post.expected"
cmp -s "$work/cgi_post.body" "$work/cgi_post.expected" ||
    fail "CGI POST: body $(cat "$work/cgi_post.body")"
pass "CGI POST: request body reaches the program"

fetch future /future.txt
[ "$(status_of future)" = 200 ] && cmp -s "$work/future.body" "$site/future.txt" ||
    fail "file dated 2040: status $(status_of future)"
[ "$(header_of future Last-Modified)" = "Wed, 29 Feb 2040 12:00:00 GMT" ] ||
    fail "file dated 2040: Last-Modified $(header_of future Last-Modified)"
# A date later than the server's clock is no date the client had from it: ignored. (Dates past
# 2038 are parsed by the unit tests above, under the same emulation.)
fetch future_ims /future.txt -H 'If-Modified-Since: Thu, 01 Mar 2040 00:00:00 GMT'
[ "$(status_of future_ims)" = 200 ] || fail "If-Modified-Since 2040: status $(status_of future_ims)"
fetch future_200 /future.txt -H 'If-Modified-Since: Tue, 28 Feb 2040 00:00:00 GMT'
[ "$(status_of future_200)" = 200 ] || fail "older If-Modified-Since: status $(status_of future_200)"
pass "file dated 2040: served with its date; an If-Modified-Since past the clock ignored"

curl -sS --http1.0 --max-time 240 -o - -D "$work/big.head" "http://127.0.0.1:$port/big.bin" \
    2>"$work/big.err" | cmp - "$site/big.bin" >"$work/big.cmp" 2>&1 ||
    fail "file over 4 GiB: $(cat "$work/big.cmp" "$work/big.err")"
head -n 1 "$work/big.head" | grep -q '^HTTP/1.0 200 ' || fail "file over 4 GiB: $(head -n 1 "$work/big.head")"
[ "$(header_of big Content-Length)" = "$big_size" ] ||
    fail "file over 4 GiB: Content-Length $(header_of big Content-Length)"
pass "file over 4 GiB: all $big_size bytes, as announced"

# Stop with SIGTERM: exit status 0, and the port file keeps only the other instance's line.
(
    trap 'kill "$sleeper" 2>/dev/null; exit 0' TERM
    sleep 60 &
    sleeper=$!
    wait "$sleeper" && kill -KILL "$server_pid"
) >/dev/null 2>&1 &
watchdog_pid=$!
kill -TERM "$server_pid"
status=0
wait "$server_pid" || status=$?
server_pid=""
kill "$watchdog_pid" 2>/dev/null || true
watchdog_pid=""
[ $status -eq 0 ] || fail "exit status after SIGTERM: $status"
pass "SIGTERM: exit status 0"
[ "$(cat "$port_file")" = 65001 ] || fail "port file after stop: $(cat "$port_file")"
pass "port file after stop: only the other instance's line"

echo "armhf smoke test: $checks checks passed"
