#!/bin/sh
# Checks that the server executable makes exactly the plug-in interface's symbols visible:
# every listed symbol is in its dynamic symbol table, and no other symbol that the server's
# own code defines is.
# Usage: exported_symbols_test.sh SERVER EXPORTS_LIST "OBJECT;OBJECT;..."
set -eu
server=$1 list=$2 objects=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Names in the export list (lines "  name;").
sed -n 's/^[[:space:]]*\([A-Za-z_][A-Za-z0-9_]*\);[[:space:]]*$/\1/p' "$list" | sort -u > "$work/expected"
[ -s "$work/expected" ] || { echo "no symbols read from $list"; exit 1; }

# Symbols the executable defines in its dynamic symbol table (what plug-ins can bind to).
nm -D --defined-only "$server" | awk '{print $NF}' | sed 's/@.*//' | sort -u > "$work/dynamic"

# Global symbols the server's own objects define (main.o and the port path come with it).
old_ifs=$IFS; IFS=';'
set -- $objects
IFS=$old_ifs
nm -g --defined-only "$@" 2>/dev/null | awk 'NF >= 3 {print $NF}' | sort -u > "$work/own"
echo main >> "$work/own"; sort -u -o "$work/own" "$work/own"

missing=$(comm -23 "$work/expected" "$work/dynamic")
extra=$(comm -12 "$work/own" "$work/dynamic" | comm -23 - "$work/expected")
status=0
if [ -n "$missing" ]; then echo "missing from the dynamic symbol table:"; echo "$missing"; status=1; fi
if [ -n "$extra" ]; then echo "visible to plug-ins but not part of the interface:"; echo "$extra"; status=1; fi

# Without sanitizers the table holds nothing else of ours or the toolchain's but the C
# library's copy-relocated data (stdout and the like, versioned @GLIBC).
if ! nm -D --defined-only "$server" | grep -q ' __asan_\| __ubsan_'; then
    others=$(nm -D --defined-only "$server" | grep -v '@' | awk '{print $NF}' | sort -u | comm -23 - "$work/expected")
    if [ -n "$others" ]; then echo "unexpected dynamic symbols:"; echo "$others"; status=1; fi
fi
[ $status -eq 0 ] && echo "exported symbols: $(wc -l < "$work/expected") expected, all present, none extra"
exit $status
