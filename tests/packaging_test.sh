#!/bin/sh
# The Debian packages as an administrator meets them, and the System V init script with the
# real server. A private build, its port file in this test's directory, is packaged with
# cpack; lintian finds no error in the packages; their files, modes and control files are
# checked and they are unpacked into a temporary root, where the maintainer scripts run
# (DPKG_ROOT), the unit passes systemd-analyze verify, and the init script starts the
# packaged server on a free loopback port, reloads it and stops it, with dpkg's
# start-stop-daemon and with BusyBox's (Buildroot's S50websrv is the same script).
#
# Usage: packaging_test.sh SOURCE_DIR VERSION CMAKE GENERATOR MAKE_PROGRAM C_COMPILER CXX_COMPILER
# Needs dpkg-deb, lintian, systemd-analyze, start-stop-daemon, busybox, curl and cc; it runs
# as root or as any user. WEBSRV_KEEP_TEST_DIRS=1 keeps the temporary directory.
# shellcheck disable=SC2015 # "A && B || fail": fail when either check does not hold
set -eu
source_dir=$1 version=$2 cmake=$3 generator=$4 make_program=$5 c_compiler=$6 cxx_compiler=$7
here=$(cd "$(dirname "$0")" && pwd)
cpack=$(dirname "$cmake")/cpack
# start-stop-daemon is in /sbin, which a normal user's PATH may lack.
PATH=$PATH:/usr/sbin:/sbin
export PATH

for tool in dpkg-deb lintian systemd-analyze start-stop-daemon busybox curl cc "$cpack"; do
    command -v "$tool" >/dev/null || {
        echo "$tool is needed (Debian packages: dpkg lintian systemd busybox curl gcc cmake)"
        exit 1
    }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/websrv-packaging.XXXXXX")
root=$work/root
pidfile=$work/run/websrv.pid
cleanup() {
    # What the init script started and a failed check left running: the packaged server (its
    # executable is in this test's directory) and the shell that was to become it.
    for proc in /proc/[0-9]*; do
        if [ "$(readlink "$proc/exe" 2>/dev/null)" = "$root/usr/sbin/websrv" ] ||
            tr '\0' ' ' <"$proc/cmdline" 2>/dev/null | grep -q " $work/run/websrv.fifo "; then
            kill -KILL "${proc#/proc/}" 2>/dev/null || true
        fi
    done
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

# ---- The packages ------------------------------------------------------------------------

"$cmake" -S "$source_dir" -B "$work/build" -G "$generator" -DCMAKE_MAKE_PROGRAM="$make_program" \
    -DCMAKE_C_COMPILER="$c_compiler" -DCMAKE_CXX_COMPILER="$cxx_compiler" \
    -DWEBSRV_TESTS=OFF -DWEBSRV_PORT_FILE="$work/webport" >"$work/configure.log" 2>&1 ||
    fail "configure the private build" "$work/configure.log"
"$cmake" --build "$work/build" >"$work/build.log" 2>&1 || fail "build the private build" "$work/build.log"
(cd "$work/build" && "$cpack" -G DEB -B "$work/debs") >"$work/cpack.log" 2>&1 || fail "cpack -G DEB" "$work/cpack.log"
arch=$(dpkg --print-architecture)
deb=$work/debs/websrv_${version}-1_$arch.deb
dev_deb=$work/debs/websrv-dev_${version}-1_$arch.deb
[ -f "$deb" ] && [ -f "$dev_deb" ] || fail "cpack made websrv and websrv-dev $version-1" "$work/cpack.log"
pass "cpack -G DEB: $(basename "$deb"), $(basename "$dev_deb")"

lintian --fail-on error "$deb" "$dev_deb" >"$work/lintian.log" 2>&1 || fail "lintian finds errors" "$work/lintian.log"
! grep -q '^E:' "$work/lintian.log" || fail "lintian finds errors" "$work/lintian.log"
pass "lintian: no errors ($(grep -c '^W:' "$work/lintian.log" || true) warnings)"
sed -n 's/^W: /  lintian warning: /p' "$work/lintian.log"

# Every file of each package with its mode (directories aside), all owned by root.
listing() {
    dpkg-deb -c "$1" >"$work/listing" || fail "dpkg-deb -c $1"
    awk '$2 != "root/root" {print "not root/root: " $0}' "$work/listing"
    awk '$1 !~ /^d/ {print $1, $6}' "$work/listing" | sort
}
https_line=""
[ ! -f "$work/build/plugins/https.so" ] || https_line="-rw-r--r-- ./usr/lib/websrv/https.so"
sort >"$work/expected" <<EOF
-rwxr-xr-x ./usr/sbin/websrv
-rw-r--r-- ./usr/lib/websrv/http.so
$https_line
-rw-r--r-- ./usr/share/man/man8/websrv.8.gz
-rw-r--r-- ./usr/share/websrv/index.html
-rw-r--r-- ./usr/share/doc/websrv/copyright
-rw-r--r-- ./usr/share/doc/websrv/changelog.Debian.gz
-rwxr-xr-x ./etc/init.d/websrv
-rw-r--r-- ./etc/default/websrv
-rw-r--r-- ./etc/logrotate.d/websrv
-rw-r--r-- ./lib/systemd/system/websrv.service
-rw-r--r-- ./usr/lib/tmpfiles.d/websrv.conf
EOF
sed -i '/^$/d' "$work/expected"
listing "$deb" >"$work/actual"
diff "$work/expected" "$work/actual" >"$work/diff" || fail "the files of websrv" "$work/diff"
grep -q ' ./etc/websrv/$' "$work/listing" || fail "websrv has https.so's certificate directory /etc/websrv"
sort >"$work/expected" <<EOF
-rw-r--r-- ./usr/include/websrv/websrv_plugin.h
-rw-r--r-- ./usr/include/websrv/websrv_answer.h
-rw-r--r-- ./usr/include/websrv/websrv_words.h
-rw-r--r-- ./usr/lib/pkgconfig/websrv-plugin.pc
-rw-r--r-- ./usr/lib/pkgconfig/websrv.pc
-rw-r--r-- ./usr/lib/websrv/examples/led.so
-rw-r--r-- ./usr/share/websrv/examples/led/led.c
-rw-r--r-- ./usr/share/websrv/examples/led/led_json.h
-rw-r--r-- ./usr/share/man/man7/websrv-plugin.7.gz
-rw-r--r-- ./usr/share/doc/websrv-dev/copyright
-rw-r--r-- ./usr/share/doc/websrv-dev/changelog.Debian.gz
EOF
listing "$dev_deb" >"$work/actual"
diff "$work/expected" "$work/actual" >"$work/diff" || fail "the files of websrv-dev" "$work/diff"
pass "files and modes: the server's in websrv, the plug-in author's in websrv-dev"

field() { dpkg-deb -f "$1" "$2"; }
[ "$(field "$deb" Version)" = "$version-1" ] || fail "websrv's version is $version-1"
depends=", $(field "$deb" Depends),"
for package in adduser libc6; do
    case $depends in
        *", $package,"* | *", $package ("*) ;;
        *) fail "websrv depends on $package: $depends" ;;
    esac
done
# websrv-dev: the server of its version, and (for the example plug-in) the C library alone.
dev_depends=$(field "$dev_deb" Depends)
case ", $dev_depends," in
    *", websrv (= $version-1),"*) ;;
    *) fail "websrv-dev depends on websrv (= $version-1): $dev_depends" ;;
esac
[ -z "$(echo "$dev_depends" | tr ',' '\n' | grep -v -e 'websrv (=' -e 'libc6')" ] ||
    fail "websrv-dev depends on nothing else but the C library: $dev_depends"
control=$work/control
dpkg-deb -e "$deb" "$control"
printf '/etc/default/websrv\n/etc/init.d/websrv\n/etc/logrotate.d/websrv\n' >"$work/expected"
diff "$work/expected" "$control/conffiles" >"$work/diff" || fail "conffiles" "$work/diff"
for script in postinst prerm postrm; do
    [ "$(stat -c %a "$control/$script")" = 755 ] || fail "$script has mode 0755"
done
pass "control: version $version-1, dependencies, conffiles, maintainer scripts"

# ---- Unpacked into a temporary root ------------------------------------------------------

dpkg-deb -x "$deb" "$root"
dpkg-deb -x "$dev_deb" "$root"
[ "$("$root/usr/sbin/websrv" | head -n 1)" = "TAVRIX: WEB Server Version $version" ] ||
    fail "the packaged server reports version $version"
# The -dev package's pkg-config file names where the websrv package puts server and plug-ins.
for variable in server plugindir; do
    value=$(PKG_CONFIG_PATH=$root/usr/lib/pkgconfig pkg-config --variable=$variable websrv-plugin)
    [ -e "$root$value" ] || fail "pkg-config's $variable $value is in the package" "$root/usr/lib/pkgconfig/websrv-plugin.pc"
done
# The settings name the packaged plug-in, the dedicated user and the pages' directory.
WEBSRV_ARGS=""
# shellcheck source=/dev/null
. "$root/etc/default/websrv"
# shellcheck disable=SC2086 # the arguments are words
set -- $WEBSRV_ARGS
plugins=0
user="" pages=""
while [ $# -gt 0 ]; do
    case $1 in
        -plugin) [ -f "$root$2" ] || fail "/etc/default/websrv names $2, which websrv has not"; plugins=$((plugins + 1)) ;;
        -u) user=$2 ;;
        -d) pages=$2 ;;
    esac
    shift
done
[ $plugins = 1 ] && [ "$user" = websrv ] && [ "$pages" = /var/www/websrv ] ||
    fail "/etc/default/websrv: one plug-in, -u websrv, -d /var/www/websrv" "$root/etc/default/websrv"
pass "unpacked: the server runs, pkg-config and /etc/default/websrv name the packaged files"

# The unit, with its paths taken into the root (systemd-analyze checks that they exist).
mkdir "$work/unit"
sed -e "s|/usr/sbin/websrv|$root/usr/sbin/websrv|g" -e "s|/etc/default/websrv|$root/etc/default/websrv|" \
    "$root/lib/systemd/system/websrv.service" >"$work/unit/websrv.service"
systemd-analyze verify --man=no "$work/unit/websrv.service" >"$work/verify.log" 2>&1 &&
    [ ! -s "$work/verify.log" ] || fail "systemd-analyze verify websrv.service" "$work/verify.log"
pass "systemd-analyze verify: websrv.service"

# The maintainer scripts in the root, as dpkg runs them for an installation there: nothing
# outside the root may change, so every command that changes users or services fails here.
mkdir "$work/forbidden"
for command in adduser chown getent update-rc.d invoke-rc.d deb-systemd-helper deb-systemd-invoke systemctl; do
    printf '#!/bin/sh\necho "%s $*" >>"%s"\nexit 1\n' "$command" "$work/forbidden.log" >"$work/forbidden/$command"
    chmod +x "$work/forbidden/$command"
done
maintainer() {
    DPKG_ROOT=$root PATH=$work/forbidden:$PATH sh "$control/$1" "$2" "$3" >"$work/$1.log" 2>&1 ||
        fail "$1 $2 in the root" "$work/$1.log" "$work/forbidden.log"
    [ ! -e "$work/forbidden.log" ] || fail "$1 $2 changes nothing outside the root" "$work/forbidden.log"
}
maintainer postinst configure ""
cmp -s "$root/usr/share/websrv/index.html" "$root/var/www/websrv/index.html" ||
    fail "postinst puts the first page into /var/www/websrv"
[ "$(stat -c %a "$root/var/log/websrv")" = 2750 ] || fail "postinst makes /var/log/websrv with mode 2750"
echo "<p>the administrator's page</p>" >"$root/var/www/websrv/index.html"
cp "$root/var/www/websrv/index.html" "$work/own-page"
maintainer postinst configure "$version-1"
cmp -s "$work/own-page" "$root/var/www/websrv/index.html" || fail "an upgrade keeps the administrator's page"
maintainer prerm remove ""
maintainer postrm remove ""
[ -d "$root/var/log/websrv" ] || fail "remove keeps the access logs"
maintainer postrm purge ""
[ ! -e "$root/var/log/websrv" ] || fail "purge removes the access logs"
cmp -s "$work/own-page" "$root/var/www/websrv/index.html" || fail "purge keeps the pages"
# The test's own server is started on a fresh copy of the first page.
cp "$root/usr/share/websrv/index.html" "$root/var/www/websrv/index.html"
pass "maintainer scripts with DPKG_ROOT: pages, log directory, upgrade, remove, purge"

# ---- The init script with the packaged server --------------------------------------------

cc -std=c11 -D_DEFAULT_SOURCE -o "$work/free_ports" "$here/install/free_ports.c"
mkdir "$work/run"
init=$root/etc/init.d/websrv
listening() {
    hex=$(printf '%04X' "$1")
    awk -v port=":$hex" '$2 ~ port"$" && $4 == "0A" {found=1} END {exit !found}' /proc/net/tcp /proc/net/tcp6
}
# Whether process $1 has ended (its parent may leave it a zombie).
ended() {
    [ ! -e "/proc/$1" ] || [ "$(awk '{print $3}' "/proc/$1/stat" 2>/dev/null)" = Z ]
}
# The settings the init script reads instead of /etc/default/websrv: the packaged server and
# plug-in, the test's pid file, its log through tee, a free port.
settings() {
    cat >"$work/websrv.defaults" <<EOF
DAEMON=$root/usr/sbin/websrv
PIDFILE=$pidfile
WEBSRV_LOG="tee -a $work/server.log"
WEBSRV_ARGS="$1"
EOF
}
# init SHELL ACTION: runs the init script, its output in $work/init.out, its status in $status.
init() {
    status=0
    WEBSRV_DEFAULTS=$work/websrv.defaults $1 "$init" "$2" >"$work/init.out" 2>&1 || status=$?
}
expect() {  # expect STATUS OUTPUT WHAT
    [ "$status" = "$1" ] && grep -q "$2" "$work/init.out" ||
        fail "$3: status $1 and \"$2\" expected, got $status" "$work/init.out" "$work/server.log"
}

port=$("$work/free_ports" 1 $$)
settings "-a $work/logs/access.log -d $root/var/www/websrv -plugin $root/usr/lib/websrv/http.so -port $port"
: >"$work/webport"
init sh start
expect 0 "Starting websrv: OK" "start"
pid=$(cat "$pidfile")
[ "$(readlink "/proc/$pid/exe")" = "$root/usr/sbin/websrv" ] || fail "the pid file names the server" "$pidfile"
listening "$port" || fail "the server listens on $port" "$work/server.log"
[ "$(cat "$work/webport")" = "$port" ] || fail "the port file lists $port" "$work/webport"
curl -sS --max-time 10 -o "$work/page" "http://127.0.0.1:$port/" 2>"$work/curl.err" || fail "GET /" "$work/curl.err"
cmp -s "$work/page" "$root/usr/share/websrv/index.html" || fail "the first page is served" "$work/page"
grep -q "CGI Processing is disabled" "$work/server.log" || fail "the server's log reaches the log command" "$work/server.log"
grep -q '"GET / HTTP/1.1" 200' "$work/logs/access.log" || fail "the start made the access log's directory" "$work/server.log"
pass "start: pid $pid in the pid file, listening on $port, the page served, its log passed on, the access log's directory made"

init sh start
expect 0 "already running" "a second start"
[ "$(cat "$pidfile")" = "$pid" ] && ! ended "$pid" || fail "a second start leaves the server alone"
init sh status
expect 0 "is running (pid $pid)" "status"
pass "start when running, status"

# reload sends SIGUSR1. A server that handles it goes on; one that does not yet (the signal's
# default action ends it) must have been ended by that signal: not stopped in order, which
# SIGTERM or SIGHUP would have done, removing its port line.
caught=$(awk '/^SigCgt:/ {print $2}' "/proc/$pid/status")
init sh reload
expect 0 "Reloading websrv: OK" "reload"
if [ $(( 0x$caught & (1 << 9) )) -ne 0 ]; then
    sleep 0.5
    ! ended "$pid" && listening "$port" || fail "the server goes on after SIGUSR1" "$work/server.log"
    pass "reload: SIGUSR1, the server goes on listening"
else
    deadline=$(($(date +%s) + 10))
    while ! ended "$pid" && [ "$(date +%s)" -le "$deadline" ]; do sleep 0.05; done
    ended "$pid" && [ "$(cat "$work/webport")" = "$port" ] ||
        fail "reload signals the recorded server (SIGUSR1 ends this server, its port line left)" "$work/webport"
    init sh status
    expect 1 "not running, but" "status with the server gone"
    pass "reload: SIGUSR1 reached pid $pid (this server does not handle it yet: it ended, port line left)"
    : >"$work/webport"
    init sh start
    expect 0 "Starting websrv: OK" "start after reload"
    pid=$(cat "$pidfile")
fi

init sh stop
expect 0 "Stopping websrv: OK" "stop"
ended "$pid" || fail "stop ends the server"
[ ! -e "$pidfile" ] || fail "stop removes the pid file"
[ ! -s "$work/webport" ] || fail "the server removed its line from the port file" "$work/webport"
! listening "$port" || fail "nothing listens on $port after stop"
init sh stop
expect 0 "not running" "a second stop"
init sh status
expect 3 "is not running" "status when stopped"
pass "stop: the server gone, its pid file and port line removed; stop again, status"

# A server that refuses its command line ends at once: start says so.
settings "-d $root/var/www/websrv -plugin $root/usr/lib/websrv/http.so -no-such-option"
init sh start
expect 1 "Starting websrv: FAIL" "start with a bad command line"
[ ! -e "$pidfile" ] || fail "a failed start leaves no pid file"
grep -q "no-such-option" "$work/server.log" || fail "the refusal is in the server's log" "$work/server.log"
pass "start fails when the server refuses its command line, and says so"

# The same script with BusyBox's shell and start-stop-daemon, as on a Buildroot device.
mkdir "$work/busybox"
for applet in start-stop-daemon sleep date tee mkfifo rm cat; do
    ln -s "$(command -v busybox)" "$work/busybox/$applet"
done
settings "-d $root/var/www/websrv -plugin $root/usr/lib/websrv/http.so -port $port"
PATH=$work/busybox:$PATH
init "busybox sh" start
expect 0 "Starting websrv: OK" "start with BusyBox"
pid=$(cat "$pidfile")
listening "$port" || fail "the server listens on $port (BusyBox)" "$work/server.log"
init "busybox sh" status
expect 0 "is running (pid $pid)" "status with BusyBox"
init "busybox sh" stop
expect 0 "Stopping websrv: OK" "stop with BusyBox"
ended "$pid" && [ ! -s "$work/webport" ] || fail "stop with BusyBox ends the server in order" "$work/webport"
pass "BusyBox's start-stop-daemon and shell: start, status, stop"

# A build whose server writes its port file into the build tree (as a trial build does) is
# not packaged.
"$cmake" -DWEBSRV_PORT_FILE="$work/build/webport" "$work/build" >"$work/configure.log" 2>&1 ||
    fail "configure the private build again" "$work/configure.log"
"$cmake" --build "$work/build" >"$work/build.log" 2>&1 || fail "build the private build again" "$work/build.log"
! (cd "$work/build" && "$cpack" -G DEB -B "$work/debs-trial") >"$work/cpack.log" 2>&1 &&
    grep -q "the server was built for" "$work/cpack.log" && ! ls "$work/debs-trial"/*.deb >/dev/null 2>&1 ||
    fail "cpack refuses a server built for a port file in its build tree" "$work/cpack.log"
pass "cpack refuses a build whose port file lies in the build tree"

echo "packaging_test: $passed passed, 0 failed"
