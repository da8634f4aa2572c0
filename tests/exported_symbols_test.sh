#!/bin/sh
# Checks that the server executable makes exactly the plug-in interface's symbols visible:
# every listed symbol is in its dynamic symbol table, and no other symbol that the server's
# own code defines is.
# Usage: exported_symbols_test.sh check SERVER EXPORTS_LIST "OBJECT;OBJECT;..."
#        exported_symbols_test.sh self-test SERVER EXPORTS_LIST "OBJECT;..." EXTRA_OBJECT SYMBOL
# "self-test" is given a server linked with EXTRA_OBJECT, whose SYMBOL it exports on top of
# the list, and passes only if the check rejects that server for exporting SYMBOL: proof
# that the check can fail.
set -eu
mode=$1 server=$2 list=$3 objects=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# check SERVER OBJECTS: prints what is wrong; fails when something is, or when a file cannot
# be read (an unreadable object would otherwise shrink the set of our own symbols, and
# nothing extra could be found among them).
check() {
    server=$1 objects=$2
    # Names in the export list (lines "  name;").
    sed -n 's/^[[:space:]]*\([A-Za-z_][A-Za-z0-9_]*\);[[:space:]]*$/\1/p' "$list" | sort -u > "$work/expected"
    [ -s "$work/expected" ] || { echo "no symbols read from $list"; return 1; }

    # Symbols the executable defines in its dynamic symbol table (what plug-ins can bind to).
    nm -D --defined-only "$server" > "$work/nm-dynamic" || { echo "nm cannot read $server"; return 1; }
    awk '{print $NF}' "$work/nm-dynamic" | sed 's/@.*//' | sort -u > "$work/dynamic"

    # Global symbols the server's own objects define (main.o and the port path come with it).
    old_ifs=$IFS; IFS=';'
    # shellcheck disable=SC2086  # split at the semicolons
    set -- $objects
    IFS=$old_ifs
    nm -g --defined-only "$@" > "$work/nm-own" || { echo "nm cannot read the server's objects"; return 1; }
    awk 'NF >= 3 {print $NF}' "$work/nm-own" | sort -u > "$work/own"
    echo main >> "$work/own"; sort -u -o "$work/own" "$work/own"
    # The objects define the whole interface; if they do not, they are not the server's.
    unread=$(comm -23 "$work/expected" "$work/own")
    if [ -n "$unread" ]; then echo "the objects do not define:"; echo "$unread"; return 1; fi

    missing=$(comm -23 "$work/expected" "$work/dynamic")
    extra=$(comm -12 "$work/own" "$work/dynamic" | comm -23 - "$work/expected")
    status=0
    if [ -n "$missing" ]; then echo "missing from the dynamic symbol table:"; echo "$missing"; status=1; fi
    if [ -n "$extra" ]; then echo "visible to plug-ins but not part of the interface:"; echo "$extra"; status=1; fi

    # Without sanitizers the table holds nothing else of ours or the toolchain's but the C
    # library's copy-relocated data (stdout and the like, versioned @GLIBC).
    if ! grep -q ' __asan_\| __ubsan_' "$work/nm-dynamic"; then
        others=$(grep -v '@' "$work/nm-dynamic" | awk '{print $NF}' | sort -u | comm -23 - "$work/expected")
        if [ -n "$others" ]; then echo "unexpected dynamic symbols:"; echo "$others"; status=1; fi
    fi
    [ $status -eq 0 ] && echo "exported symbols: $(wc -l < "$work/expected") expected, all present, none extra"
    return $status
}

case $mode in
check)
    check "$server" "$objects"
    ;;
self-test)
    extra_object=$5 symbol=$6
    if found=$(check "$server" "$objects;$extra_object"); then
        echo "the check accepted a server that exports $symbol:"
        echo "$found"
        exit 1
    fi
    # The part of the check that also runs in sanitizer builds must be the one that fired.
    if ! echo "$found" | sed -n '/^visible to plug-ins but not part of the interface:$/,/:$/p' | grep -qx "$symbol"; then
        echo "the check did not report $symbol as visible to plug-ins:"
        echo "$found"
        exit 1
    fi
    echo "the check rejects a server that exports $symbol:"
    echo "$found"
    ;;
*)
    echo "usage: exported_symbols_test.sh check|self-test ..." >&2
    exit 2
    ;;
esac
