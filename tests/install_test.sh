#!/bin/sh
# The installation as a plug-in author meets it. A private build of the server (its port
# file inside this test's temporary directory, never the device's) is installed into a
# temporary prefix; plug-ins are then built out of tree with nothing but
# `pkg-config --cflags websrv-plugin`, loaded into the installed executable next to the
# installed stock plug-in, and asked over loopback. The example plug-in of
# websrv-plugin(7) is taken from the installed manual page and goes through the same.
#
# Usage: install_test.sh SOURCE_DIR VERSION CMAKE GENERATOR MAKE_PROGRAM C_COMPILER CXX_COMPILER
# Needs pkg-config, curl, man (man-db) and arm-linux-gnueabihf-gcc. The plug-ins are built
# with $CC (default cc). WEBSRV_KEEP_TEST_DIRS=1 keeps the temporary directory.
set -eu
source_dir=$1 version=$2 cmake=$3 generator=$4 make_program=$5 c_compiler=$6 cxx_compiler=$7
here=$(cd "$(dirname "$0")" && pwd)
plugin_cc=${CC:-cc}
cross_cc=arm-linux-gnueabihf-gcc

for tool in pkg-config curl man col "$plugin_cc" "$cross_cc"; do
    command -v "$tool" >/dev/null || {
        echo "$tool is needed (Debian packages: pkg-config curl man-db bsdextrautils gcc g++-arm-linux-gnueabihf)"
        exit 1
    }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/websrv-install.XXXXXX")
server_pid=""
cleanup() {
    if [ -n "$server_pid" ] && kill -0 "$server_pid" 2>/dev/null; then
        kill -KILL "$server_pid" 2>/dev/null || true
        wait "$server_pid" 2>/dev/null || true
    fi
    if [ -n "${WEBSRV_KEEP_TEST_DIRS:-}" ]; then
        echo "kept $work"
    else
        rm -rf "$work"
    fi
}
trap cleanup EXIT
trap 'exit 1' INT TERM

passed=0
pass() { passed=$((passed + 1)); echo "ok: $1"; }
fail() {
    echo "FAIL: $1"
    shift
    for file in "$@"; do
        [ -f "$file" ] && { echo "--- $file"; cat "$file"; echo "---"; }
    done
    exit 1
}

# ---- A private build, installed -------------------------------------------------------------

# Configured for another prefix than the one it is installed into: what is installed must
# follow the prefix given to `cmake --install`.
"$cmake" -S "$source_dir" -B "$work/build" -G "$generator" -DCMAKE_MAKE_PROGRAM="$make_program" \
    -DCMAKE_C_COMPILER="$c_compiler" -DCMAKE_CXX_COMPILER="$cxx_compiler" \
    -DWEBSRV_TESTS=OFF -DWEBSRV_PORT_FILE="$work/webport" \
    -DCMAKE_INSTALL_PREFIX="$work/configured-prefix" >"$work/configure.log" 2>&1 ||
    fail "configure the private build" "$work/configure.log"
"$cmake" --build "$work/build" >"$work/build.log" 2>&1 || fail "build the private build" "$work/build.log"
prefix=$work/prefix
"$cmake" --install "$work/build" --prefix "$prefix" >"$work/install.log" 2>&1 ||
    fail "cmake --install" "$work/install.log"

for file in sbin/websrv include/websrv/websrv_plugin.h include/websrv/websrv_words.h lib/websrv/http.so \
            lib/pkgconfig/websrv-plugin.pc share/man/man8/websrv.8 share/man/man7/websrv-plugin.7; do
    [ -f "$prefix/$file" ] || fail "installed $file" "$work/install.log"
done
[ -x "$prefix/sbin/websrv" ] || fail "the installed server is executable"
cmp -s "$source_dir/plugin/websrv_plugin.h" "$prefix/include/websrv/websrv_plugin.h" ||
    fail "the installed header is the source tree's"
[ ! -e "$work/configured-prefix" ] || fail "nothing goes to the configured prefix"
pass "layout: sbin/, include/websrv/, lib/websrv/, lib/pkgconfig/, share/man/"

# ---- pkg-config -----------------------------------------------------------------------------

PKG_CONFIG_PATH=$prefix/lib/pkgconfig
export PKG_CONFIG_PATH
pc=$prefix/lib/pkgconfig/websrv-plugin.pc
pkg-config --exists websrv-plugin || fail "pkg-config finds websrv-plugin" "$pc"
cflags=$(pkg-config --cflags websrv-plugin)
case " $cflags " in
    *" -I$prefix/include/websrv "*) ;;
    *) fail "cflags name the installed header's directory: $cflags" "$pc" ;;
esac
case " $cflags " in
    *" -D_FILE_OFFSET_BITS=64 "*) ;;
    *) fail "cflags ask for 64-bit file offsets: $cflags" "$pc" ;;
esac
libs=$(pkg-config --libs websrv-plugin)
[ -z "$(echo "$libs" | tr -d ' ')" ] || fail "plug-ins link no library, but --libs gives: $libs" "$pc"
plugindir=$(pkg-config --variable=plugindir websrv-plugin)
[ "$plugindir" = "$prefix/lib/websrv" ] || fail "plugindir is $prefix/lib/websrv, not $plugindir" "$pc"
[ "$(pkg-config --variable=server websrv-plugin)" = "$prefix/sbin/websrv" ] ||
    fail "the server variable names the installed executable" "$pc"
[ "$(pkg-config --modversion websrv-plugin)" = "$version" ] || fail "version $version" "$pc"
! grep -q "configured-prefix" "$pc" || fail "the .pc file names the install prefix only" "$pc"
pass "pkg-config: $cflags; no libraries; plugindir $plugindir"

# ---- Plug-ins built out of tree -------------------------------------------------------------

# The example of websrv-plugin(7), as a reader would copy it from the installed page.
LC_ALL=C MANWIDTH=200 man -l "$prefix/share/man/man7/websrv-plugin.7" 2>"$work/man.err" | col -bx >"$work/websrv-plugin.txt"
awk '/\/\* greet\.c /{copy=1} /^ *Build and run it/{copy=0} copy' "$work/websrv-plugin.txt" >"$work/greet.c"
grep -q "int plugin_init(void)" "$work/greet.c" || fail "the manual page's example was found" "$work/websrv-plugin.txt"

strict="-std=c11 -Wall -Wextra -Wpedantic -Werror"
# shellcheck disable=SC2086  # the flags are words
"$plugin_cc" $strict -fPIC -shared $cflags -o "$work/hello.so" "$here/install/hello_plugin.c" \
    >"$work/hello.log" 2>&1 || fail "hello_plugin.c builds with the pkg-config flags" "$work/hello.log"
# shellcheck disable=SC2086
"$plugin_cc" $strict -fPIC -shared $cflags -o "$work/greet.so" "$work/greet.c" \
    >"$work/greet.log" 2>&1 || fail "the example of websrv-plugin(7) builds" "$work/greet.log" "$work/greet.c"
# The device's 32-bit data model: the header's layout checks refuse a build whose off_t is
# 32 bits, so this proves the pkg-config flags are all a device build needs.
# shellcheck disable=SC2086
"$cross_cc" $strict -fPIC $cflags -c -o "$work/hello-armhf.o" "$here/install/hello_plugin.c" \
    >"$work/armhf.log" 2>&1 || fail "hello_plugin.c builds for 32-bit ARM with the pkg-config flags" "$work/armhf.log"
# The device API example as installed, built as its comment says, as plain C.
examples=$prefix/share/websrv/examples/led
[ -f "$prefix/lib/websrv/examples/led.so" ] || fail "the built example is installed" "$prefix/lib/websrv/examples"
# shellcheck disable=SC2046  # the flags are words
"$plugin_cc" $(pkg-config --cflags websrv) -Wall -Wextra -Werror -shared -fPIC -o "$work/led.so" "$examples/led.c" \
    >"$work/led.log" 2>&1 || fail "the installed led.c builds with pkg-config websrv's flags" "$work/led.log"
# shellcheck disable=SC2046
"$cross_cc" $(pkg-config --cflags websrv) -Wall -Wextra -Werror -fPIC -c -o "$work/led-armhf.o" "$examples/led.c" \
    >"$work/led-armhf.log" 2>&1 || fail "led.c builds for 32-bit ARM" "$work/led-armhf.log"
pass "plug-ins built with only the pkg-config flags (host, and 32-bit ARM), the LED example too"

for page in man8/websrv.8 man7/websrv-plugin.7; do
    LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$prefix/share/man/$page" >/dev/null 2>"$work/man.err" ||
        fail "man -l $page" "$work/man.err"
    [ ! -s "$work/man.err" ] || fail "$page renders without warnings" "$work/man.err"
done
pass "man -l renders both pages without warnings"

# ---- The installed server with the installed and the out-of-tree plug-ins -------------------

"$plugin_cc" -std=c11 -D_DEFAULT_SOURCE -o "$work/free_ports" "$here/install/free_ports.c"
www=$work/www
mkdir "$www"
printf '<p>static index</p>\n' >"$www/index.html"
printf 'hello.txt as stored on disk\n' >"$www/hello.txt"
printf 'body { margin: 0 }\n' >"$www/style.css"

# Whether TCP port $1 is listening, from the kernel's table (no connection is made).
listening() {
    hex=$(printf '%04X' "$1")
    awk -v port=":$hex" '$2 ~ port"$" && $4 == "0A" {found=1} END {exit !found}' /proc/net/tcp /proc/net/tcp6
}
# Whether process $1 has ended (it may be a zombie until it is waited for).
ended() {
    [ ! -e "/proc/$1" ] || [ "$(awk '{print $3}' "/proc/$1/stat" 2>/dev/null)" = Z ]
}

# free_ports keeps the ports it hands out from everyone else while this script runs; only a
# program that binds a fixed port could still take one, and then the start is tried again
# with new ports.
attempt=1
while :; do
    set -- $("$work/free_ports" 3 $$)
    http_port=$1 hello_port=$2 greet_port=$3
    : >"$work/webport"
    "$prefix/sbin/websrv" -d "$www" -plugin "$plugindir/http.so" -port "$http_port" \
        -plugin "$work/hello.so" -hello-port "$hello_port" \
        -plugin "$work/greet.so" -greet-port "$greet_port" >"$work/server.log" 2>&1 &
    server_pid=$!
    deadline=$(( $(date +%s) + 10 ))
    ready=0
    while [ "$(date +%s)" -le "$deadline" ]; do
        if ended "$server_pid"; then break; fi
        if listening "$http_port" && listening "$hello_port" && listening "$greet_port"; then
            ready=1
            break
        fi
        sleep 0.05
    done
    [ $ready = 1 ] && break
    status=0
    if ended "$server_pid"; then wait "$server_pid" || status=$?; else kill -KILL "$server_pid"; wait "$server_pid" || true; fi
    server_pid=""
    if [ $attempt -lt 3 ] && grep -q "Unable to start the Web Server Application" "$work/server.log"; then
        attempt=$((attempt + 1))
        continue
    fi
    fail "the installed server starts (exit status $status)" "$work/server.log"
done
[ "$(readlink "/proc/$server_pid/exe")" = "$prefix/sbin/websrv" ] || fail "the installed executable runs"
printf '%s\n%s\n%s\n' "$http_port" "$hello_port" "$greet_port" >"$work/expected-ports"
cmp -s "$work/webport" "$work/expected-ports" ||
    fail "the port file of the build lists the three ports in registration order" "$work/webport"
pass "the installed server listens on $http_port (http.so), $hello_port (hello), $greet_port (greet)"

get() {  # get PORT PATH OUTPUT: the whole response, byte for byte
    curl -sS --http1.0 --max-time 10 -i -o "$3" "http://127.0.0.1:$1$2" 2>"$work/curl.err" ||
        fail "GET $2 on port $1" "$work/curl.err" "$work/server.log"
}

# hello answers hello.txt itself; the fields it echoes come through the installed header's
# record layout, and the server adds nothing behind its answer.
get "$hello_port" "/hello.txt?a=1&b=2" "$work/r-hello"
printf 'HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nhello from an installed plug-in\nport=%s method=GET path=hello.txt query=a=1&b=2 host=127.0.0.1:%s\n' \
    "$hello_port" "$hello_port" >"$work/expected"
cmp -s "$work/r-hello" "$work/expected" || fail "hello's own answer" "$work/r-hello" "$work/expected"
pass "on_request answers through websrv_write_handler, fields intact"

# Declined paths on the same port are the server's.
get "$hello_port" "/index.html" "$work/r-index"
head -n 1 "$work/r-index" | grep -q '^HTTP/1.0 200 Ok' || fail "index.html on hello's port" "$work/r-index"
grep -qi '^Content-Type: text/html' "$work/r-index" || fail "index.html is text/html" "$work/r-index"
tail -n 1 "$work/r-index" | grep -qx '<p>static index</p>' || fail "index.html's body" "$work/r-index"
pass "a declined request is served from the working directory"

# The installed stock plug-in: its port, its content types, and no hook of hello's.
get "$http_port" "/style.css" "$work/r-css"
grep -qi '^Content-Type: text/css' "$work/r-css" || fail "http.so's content type for .css" "$work/r-css"
tail -n 1 "$work/r-css" | grep -qx 'body { margin: 0 }' || fail "style.css's body" "$work/r-css"
get "$http_port" "/hello.txt" "$work/r-disk"
tail -n 1 "$work/r-disk" | grep -qx 'hello.txt as stored on disk' ||
    fail "hello.txt on http.so's port comes from disk" "$work/r-disk"
pass "lib/websrv/http.so loads: its port, its content types"

get "$greet_port" "/" "$work/r-greet"
printf 'HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nHello from greet; you asked for ./\n' >"$work/expected"
cmp -s "$work/r-greet" "$work/expected" || fail "the manual page's example answers" "$work/r-greet" "$work/expected"
pass "the example of websrv-plugin(7) answers"

kill -TERM "$server_pid"
deadline=$(( $(date +%s) + 10 ))
while ! ended "$server_pid" && [ "$(date +%s)" -le "$deadline" ]; do sleep 0.05; done
ended "$server_pid" || fail "the server stops on SIGTERM" "$work/server.log"
status=0
wait "$server_pid" || status=$?
server_pid=""
[ $status -eq 0 ] || fail "exit status 0 after SIGTERM, not $status" "$work/server.log"
[ -f "$work/webport" ] && [ ! -s "$work/webport" ] || fail "the stop removed the three ports" "$work/webport"
pass "SIGTERM: exit status 0, the port file emptied"

# ---- A staged install names the final prefix ------------------------------------------------

DESTDIR=$work/stage "$cmake" --install "$work/build" --prefix /opt/websrv >"$work/stage.log" 2>&1 ||
    fail "staged install" "$work/stage.log"
[ -x "$work/stage/opt/websrv/sbin/websrv" ] || fail "staged server" "$work/stage.log"
grep -qx 'prefix=/opt/websrv' "$work/stage/opt/websrv/lib/pkgconfig/websrv-plugin.pc" ||
    fail "the staged .pc file names /opt/websrv" "$work/stage/opt/websrv/lib/pkgconfig/websrv-plugin.pc"
pass "DESTDIR: files staged, the .pc file names the final prefix"

echo "install_test: $passed passed, 0 failed"
