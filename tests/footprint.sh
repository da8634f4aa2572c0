#!/bin/sh
# Checks that the server executable and the stock plug-ins need nothing but the C library at
# run time: no NEEDED entry other than libc.so.6 (and the dynamic loader, for the executable),
# and no symbol of the C++ runtime (exceptions, unwinding, RTTI, operator new and delete).
# https.so, the one stock plug-in with TLS, may need OpenSSL 3 (libssl.so.3, libcrypto.so.3)
# besides, and nothing else.
#
# Usage: footprint.sh check READELF NM STRIP SERVER [PLUGIN ...]
#        footprint.sh self-test READELF NM CXX
#        footprint.sh size STRIP MAX_BYTES FILE
# "check" also prints the stripped size of each file. "self-test" builds a small C++ program
# that throws, uses typeid and new, and passes only if the check rejects it for each reason,
# which proves that the check can fail with these tools. "size" fails when FILE, stripped, is
# larger than MAX_BYTES.
set -eu
mode=$1

if [ "$mode" = size ]; then
    strip=$2 max=$3 file=$4
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
    "$strip" -o "$work/stripped" "$file"
    bytes=$(wc -c <"$work/stripped")
    # The file grows by a whole page once its code and read-only data pass a page boundary: the
    # margin to the next one is what a change can still spend without that step.
    page=4096
    echo "$(basename "$file"): $bytes bytes stripped, at most $max allowed ($((max - bytes)) to spare;" \
        "$(((page - bytes % page) % page)) to the next page boundary)"
    [ "$bytes" -le "$max" ] || { echo "$(basename "$file") is over its size line"; exit 1; }
    exit 0
fi

readelf=$2 nm=$3
shift 3

# Mangled names (nm without demangling) that only the C++ runtime defines. __cxa_finalize and
# __cxa_atexit are left out: the C library defines them and every C program's start-up code
# refers to the first.
runtime_symbols='__cxa_|_Unwind_|__gxx_personality|_ZTI|_ZTS|_ZTV(N10__cxxabiv|St9type_info)|_Znw|_Zna|_Zdl|_Zda'
libc_cxa='__cxa_finalize|__cxa_atexit'

# check_file KIND FILE: prints one line per problem; KIND is "executable" or "plug-in".
check_file() {
    kind=$1 file=$2
    if [ ! -f "$file" ]; then
        echo "$file: missing"
        return
    fi
    needed=$("$readelf" -d "$file" | sed -n 's/.*(NEEDED).*\[\(.*\)\]$/\1/p')
    for lib in $needed; do
        case $lib in
            libc.so.6) ;;
            ld-linux*.so.*) [ "$kind" = executable ] || echo "$file: needs $lib" ;;
            libssl.so.3 | libcrypto.so.3) [ "$(basename "$file")" = https.so ] || echo "$file: needs $lib" ;;
            *) echo "$file: needs $lib" ;;
        esac
    done
    # Dynamic symbols (what it imports from libraries) and, when not stripped, every symbol
    # (what was linked in statically).
    {
        "$nm" -D "$file" 2>/dev/null || true
        "$nm" "$file" 2>/dev/null || true
    } | awk '{print $NF}' | sed 's/@.*//' | sort -u |
        grep -E "^($runtime_symbols)" | grep -v -E "^($libc_cxa)\$" |
        sed "s|^|$file: C++ runtime symbol |" || true
}

case $mode in
check)
    strip=$1 server=$2
    shift 2
    problems=$(
        check_file executable "$server"
        for plugin in "$@"; do check_file plug-in "$plugin"; done
    )
    if [ -n "$problems" ]; then
        echo "$problems"
        echo "the server or a stock plug-in needs more than the C library (and https.so than OpenSSL)"
        exit 1
    fi
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
    for file in "$server" "$@"; do
        cp "$file" "$work/stripped"
        "$strip" "$work/stripped"
        libraries=$("$readelf" -d "$file" | sed -n 's/.*(NEEDED).*\[\(.*\)\]$/\1/p' | tr '\n' ' ')
        echo "$(basename "$file"): needs ${libraries% }; $(wc -c <"$work/stripped") bytes stripped"
    done
    ;;
self-test)
    cxx=$1
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
    cat >"$work/runtime.cpp" <<'EOF'
#include <typeinfo>
struct base { virtual ~base() {} };
struct derived : base {};
int main(int argc, char **)
{
    base *object = argc > 5 ? new derived : new base;
    const char *name = typeid(*object).name();
    delete object;
    try {
        if (argc > 3)
            throw argc;
    } catch (int value) {
        return value;
    }
    return name[0] == '\0';
}
EOF
    "$cxx" -O1 -o "$work/runtime" "$work/runtime.cpp"
    found=$(check_file executable "$work/runtime")
    status=0
    for expected in 'needs libstdc++' '__cxa_throw' '__gxx_personality' '_ZTI' '_Znw' '_Zdl'; do
        if ! echo "$found" | grep -q -- "$expected"; then
            echo "the check did not report $expected"
            status=1
        fi
    done
    if [ $status -ne 0 ]; then
        echo "found:"
        echo "$found"
        exit 1
    fi
    echo "the check rejects a program that uses the C++ runtime:"
    echo "$found" | sed "s|$work/||"
    # OpenSSL is allowed to https.so only: the same object named http.so is rejected. Only
    # where this toolchain can link OpenSSL (not in a cross build without it).
    echo 'int tls_version(void) { return 3; }' >"$work/tls.c"
    mkdir "$work/tls"
    if "$cxx" -x c -shared -fPIC -nostdlib -o "$work/tls/http.so" "$work/tls.c" -Wl,--no-as-needed -lssl 2>/dev/null; then
        cp "$work/tls/http.so" "$work/tls/https.so"
        [ -n "$(check_file plug-in "$work/tls/https.so")" ] && { echo "the check rejects OpenSSL in https.so"; exit 1; }
        check_file plug-in "$work/tls/http.so" | grep -q 'needs libssl.so.3' ||
            { echo "the check let OpenSSL into http.so"; exit 1; }
        echo "the check takes OpenSSL in https.so only"
    fi
    ;;
*)
    echo "usage: footprint.sh check|self-test ..." >&2
    exit 2
    ;;
esac
