#!/bin/sh
# What can be checked here of the packaging files that run elsewhere: every shell script
# packaging/ ships passes ShellCheck; the OpenWrt init script turns its configuration file
# into the expected command lines; and the Buildroot, Yocto and OpenWrt packages name the
# project's version, its CMake options (with the project's defaults for the fixed paths), and
# files that exist.
#
# Usage: packaging_recipes_test.sh SOURCE_DIR VERSION BUILD_DIR
# BUILD_DIR is a configured build: its cache names the CMake options. Needs shellcheck.
# For ShellCheck: "A && B || fail" fails when either check does not hold (SC2015); $recipes
# is a list of words (SC2086); '$(@D)' and '${S}' are text to find (SC2016); the stand-ins
# for rc.common and procd are called by the OpenWrt script (SC2317, SC2034).
# shellcheck disable=SC2015,SC2086,SC2016,SC2317,SC2034
set -eu
source_dir=$1 version=$2 build_dir=$3
pkg=$source_dir/packaging
buildroot=$pkg/buildroot/websrv
openwrt=$pkg/openwrt/websrv
yocto=$pkg/yocto/websrv_$version.bb
recipes="$buildroot/Config.in $buildroot/websrv.mk $buildroot/websrv.hash $yocto $openwrt/Makefile"

command -v shellcheck >/dev/null || { echo "shellcheck is needed (Debian package: shellcheck)"; exit 1; }
work=$(mktemp -d "${TMPDIR:-/tmp}/websrv-recipes.XXXXXX")
trap 'rm -rf "$work"' EXIT
trap 'exit 1' INT TERM

passed=0
pass() { passed=$((passed + 1)); echo "ok: $1"; }
fail() {
    echo "FAIL: $1"
    [ -z "${2:-}" ] || { echo "--- $2"; cat "$2"; echo "---"; }
    exit 1
}

# ---- ShellCheck ----------------------------------------------------------------------------

# logrotate's postrotate commands run in /bin/sh; the defaults file is sourced by the init
# script (its variables are read there).
awk '/endscript/ {copy=0} copy {print} /postrotate/ {copy=1; print "#!/bin/sh"}' \
    "$pkg/debian/websrv.logrotate" >"$work/postrotate.sh"
[ "$(wc -l <"$work/postrotate.sh")" -gt 1 ] || fail "websrv.logrotate has postrotate commands"
checked=0
for script in "$pkg/common/websrv.init" "$pkg/debian/postinst" "$pkg/debian/prerm" "$pkg/debian/postrm" \
              "$openwrt/files/websrv.init" "$work/postrotate.sh"; do
    shellcheck "$script" >"$work/shellcheck.log" 2>&1 || fail "shellcheck $script" "$work/shellcheck.log"
    checked=$((checked + 1))
done
shellcheck -s sh -e SC2034 "$pkg/common/websrv.default" >"$work/shellcheck.log" 2>&1 ||
    fail "shellcheck websrv.default" "$work/shellcheck.log"
pass "ShellCheck: $checked scripts and the defaults file"

# ---- The OpenWrt init script's command lines -----------------------------------------------

# Runs start_service of the init script with the options of the configuration file $1, with
# rc.common's and procd's functions standing in; prints the command's words, one a line.
procd_command() {
    config=$1
    (
        set +eu
        config_load() { :; }
        # config_get VARIABLE SECTION OPTION [DEFAULT], from the file's `option NAME 'VALUE'`.
        config_get() {
            value=$(sed -n "s/^[[:space:]]*option $3 '\(.*\)'\$/\1/p" "$config")
            eval "$1=\${value:-\${4:-}}"
        }
        config_get_bool() { config_get "$@"; }
        config_list_foreach() {
            sed -n "s/^[[:space:]]*list $2 '\(.*\)'\$/\1/p" "$config" >"$work/list"
            while IFS= read -r item; do "$3" "$item"; done <"$work/list"
        }
        procd_open_instance() { :; }
        # The log directory the script makes is noted, not made on this machine.
        mkdir() { printf 'mkdir %s\n' "$*" >>"$work/made"; }
        chown() { printf 'chown %s\n' "$*" >>"$work/made"; }
        procd_close_instance() { :; }
        procd_set_param() { [ "$1" != command ] || { shift; printf '%s\n' "$@" >"$work/command"; }; }
        procd_append_param() { [ "$1" != command ] || { shift; printf '%s\n' "$@" >>"$work/command"; }; }
        # shellcheck source=/dev/null
        . "$openwrt/files/websrv.init"
        start_service
    )
    cat "$work/command"
}
procd_command "$openwrt/files/websrv.config" >"$work/actual"
printf '%s\n' /usr/sbin/websrv -u websrv -c cgi-bin -d /www -plugin /usr/lib/websrv/http.so \
    -port 80 >"$work/expected"
diff "$work/expected" "$work/actual" >"$work/diff" || fail "the shipped configuration's command line" "$work/diff"
# Every option of the file in use: HTTPS with redirect, an access log, extra options.
sed 's/^\([[:space:]]*\)#\(option\|list\) /\1\2 /' "$openwrt/files/websrv.config" >"$work/all.config"
procd_command "$work/all.config" >"$work/actual"
printf '%s\n' /usr/sbin/websrv -u websrv -a /var/log/websrv/access.log -c cgi-bin -d /www \
    -plugin /usr/lib/websrv/https.so -tls-port 443 -port 80 -redirect -header "X-Frame-Options: DENY" \
    >"$work/expected"
diff "$work/expected" "$work/actual" >"$work/diff" || fail "the command line with every option" "$work/diff"
# (Where this machine has the directory already, the script rightly leaves it alone.)
if [ ! -d /var/log/websrv ]; then
    printf '%s\n' "mkdir -p /var/log/websrv" "chown websrv /var/log/websrv" >"$work/expected"
    diff "$work/expected" "$work/made" >"$work/diff" || fail "the access log's directory made for the user" "$work/diff"
fi
pass "OpenWrt: the command lines of the shipped configuration and of every option in use"

# ---- Versions ------------------------------------------------------------------------------

# The value of a make or bitbake assignment NAME = VALUE, NAME:=VALUE, NAME ??= "VALUE".
value() {
    sed -n "s/^$2[[:space:]]*[?:]*=[[:space:]]*\"\{0,1\}\([^\"]*\)\"\{0,1\}\$/\1/p" "$1" | head -n 1
}
[ "$(value "$buildroot/websrv.mk" WEBSRV_VERSION)" = "$version" ] || fail "Buildroot's WEBSRV_VERSION is $version"
[ "$(value "$openwrt/Makefile" PKG_VERSION)" = "$version" ] || fail "OpenWrt's PKG_VERSION is $version"
[ -f "$yocto" ] && [ "$(find "$pkg/yocto" -name '*.bb' | wc -l)" = 1 ] || fail "the Yocto recipe is websrv_$version.bb"
! grep -q '^PV' "$yocto" || fail "the Yocto recipe takes its version from its name"
# Every archive or directory name with a version (websrv-1.0.tar.gz, --prefix=websrv-1.0/).
grep -ho 'websrv-[0-9][0-9.]*[0-9]' $recipes | sort -u >"$work/versions"
[ "$(cat "$work/versions")" = "websrv-$version" ] || fail "every websrv-VERSION is websrv-$version" "$work/versions"
grep -q "^sha256 .* websrv-$version.tar.gz\$" "$buildroot/websrv.hash" || fail "websrv.hash lists websrv-$version.tar.gz"
pass "version $version: Buildroot, Yocto (websrv_$version.bb), OpenWrt, archive names"

# ---- CMake options -------------------------------------------------------------------------

[ -f "$build_dir/CMakeCache.txt" ] || fail "$build_dir is a configured build"
sed -n 's/^\([A-Za-z0-9_]*\):[A-Z]*=.*/\1/p' "$build_dir/CMakeCache.txt" | sort -u >"$work/options"
grep -ho -- '-D[A-Z][A-Z0-9_]*=' $recipes | sed 's/^-D//; s/=$//' | sort -u >"$work/named"
[ -s "$work/named" ] || fail "the recipes set CMake options"
comm -23 "$work/named" "$work/options" >"$work/unknown"
[ ! -s "$work/unknown" ] || fail "the recipes set only options the project has" "$work/unknown"
# The project's CMake files, wherever they are (build trees and the browser tests' modules aside).
cmake_files() {
    find "$source_dir" \( -path "$source_dir/.*" -o -path "$source_dir/build*" -o -name node_modules \) -prune \
        -o \( -name CMakeLists.txt -o -name '*.cmake' \) -print
}
# The fixed paths are the project's defaults, wherever its CMake files set them.
default() {
    cmake_files | xargs grep -h "set($1 \"" | sed 's/^[^"]*"\([^"]*\)".*/\1/' | head -n 1
}
for option in WEBSRV_PORT_FILE WEBSRV_TLS_DIR; do
    expected=$(default $option)
    [ -n "$expected" ] || fail "the project sets a default for $option"
    grep -ho -- "-D$option=[^ \"]*" $recipes | sed 's/^[^=]*=//; s/\${sysconfdir}/\/etc/' | sort -u >"$work/given"
    [ "$(cat "$work/given")" = "$expected" ] || fail "every recipe gives $option=$expected" "$work/given"
done
pass "CMake options: $(tr '\n' ' ' <"$work/named")all the project's; fixed paths as its defaults"

# ---- Files ---------------------------------------------------------------------------------

# The source tree's files they install ($(@D)/... and ${S}/...), and OpenWrt's own files.
{
    grep -ho '$(@D)/[A-Za-z0-9_./-]*' "$buildroot/websrv.mk" | sed 's|^$(@D)/||'
    grep -ho '${S}/[A-Za-z0-9_./-]*' "$yocto" | sed 's|^${S}/||; s|/$||'
    sed -n 's/^[[:space:]]*websrv_install_service_file [0-7]* \([^ ]*\) .*/packaging\/common\/\1/p' "$yocto"
} | sort -u >"$work/files"
missing=""
while read -r file; do
    [ -e "$source_dir/$file" ] || missing="$missing $file"
done <"$work/files"
grep -ho '\./files/[A-Za-z0-9_.-]*' "$openwrt/Makefile" >"$work/own"
while read -r file; do
    [ -e "$openwrt/$file" ] || missing="$missing $file"
done <"$work/own"
[ -z "$missing" ] || fail "files the recipes install are missing:$missing"
# The plug-ins they name are the project's stock plug-ins.
cmake_files | xargs grep -h '^[[:space:]]*websrv_plugin(' |
    sed 's/^[[:space:]]*websrv_plugin(\([a-z0-9_]*\).*/\1.so/' | sort -u >"$work/stock"
grep -ho '[a-z0-9_]*\.so' $recipes "$openwrt/files/websrv.init" "$pkg/common/websrv.default" | sort -u >"$work/so"
comm -23 "$work/so" "$work/stock" >"$work/unknown"
[ -s "$work/so" ] && [ ! -s "$work/unknown" ] || fail "the recipes name only stock plug-ins" "$work/unknown"
pass "files: $(wc -l <"$work/files") from the source tree, OpenWrt's files/, plug-ins $(tr '\n' ' ' <"$work/so")"

echo "packaging_recipes_test: $passed passed, 0 failed"
