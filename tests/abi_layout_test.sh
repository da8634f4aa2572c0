#!/bin/sh
# Compiles the public plug-in header for 32-bit ARM, the devices' data model, as C and as C++.
# The header's own static assertions pin every record's size and field offsets, so a
# successful compile is the check; the second compile proves the assertions really fire.
# Usage: abi_layout_test.sh HEADER_DIR CHECK_SOURCE
set -eu
include=$1 source=$2
cc=arm-linux-gnueabihf-gcc cxx=arm-linux-gnueabihf-g++
command -v $cc >/dev/null && command -v $cxx >/dev/null || {
    echo "$cc and $cxx are needed (Debian package g++-arm-linux-gnueabihf)"; exit 1; }
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
flags="-D_FILE_OFFSET_BITS=64 -Wall -Wextra -Werror -I$include"
$cc -std=c11 $flags -c "$source" -o "$out/c.o"
$cxx -std=c++20 -x c++ $flags -c "$source" -o "$out/cxx.o"
echo "ILP32 layouts hold in C and C++"
# A build that forgets 64-bit file offsets must be refused.
if $cc -std=c11 -I"$include" -c "$source" -o "$out/bad.o" 2>/dev/null; then
    echo "header accepted a 32-bit off_t"; exit 1
fi
# A shifted field must be caught: the same check with the 16-bit fields widened has to fail,
# and fail on the layout assertions.
if $cc -std=c11 $flags -DWEBSRV_ABI_CHECK_BREAK -c "$source" -o "$out/broken.o" 2>"$out/broken.txt"; then
    echo "layout assertions did not fire for a shifted field"; exit 1
fi
grep -q "static assertion failed" "$out/broken.txt" || { cat "$out/broken.txt"; exit 1; }
echo "layout assertions fire on a shifted field"
