#!/bin/sh
# Builds the fiber library with its test where the other builds do not run it, and runs it:
# under qemu user emulation for AArch64 and for 32-bit ARM with the library in ARM mode
# (tests/armhf.sh runs it as the compiler builds by default, Thumb-2); on this machine with the
# switch of the C library (ucontext) that other architectures use. Only these two files and
# GoogleTest are built, not the server.
# Run as root, it first installs the Debian packages it needs; otherwise it names the missing ones.
# Usage: tests/fiber_cross.sh [BUILD_DIR]   (default build-fiber-cross, relative to the source tree)
set -eu
cd "$(dirname "$0")/.."
build=${1:-build-fiber-cross}

# ---- Packages ----------------------------------------------------------------------------
packages="g++ g++-aarch64-linux-gnu g++-arm-linux-gnueabihf libgtest-dev"
command -v qemu-aarch64 >/dev/null && command -v qemu-arm >/dev/null || packages="$packages qemu-user"
# No recommended packages: qemu-user recommends registering the emulator for foreign programs
# with the kernel, which would change how the whole machine runs them.
# shellcheck disable=SC2086
tests/install_packages.sh --no-install-recommends $packages

# ---- Build -------------------------------------------------------------------------------
gtest=/usr/src/googletest/googletest
# The flags the server's code is built with (websrv_core in CMakeLists.txt) that bear on the
# switch: size optimization, no exceptions or unwind tables, hidden symbols, a section each.
lean="-std=c++20 -Oz -Wall -Wextra -fno-exceptions -fno-rtti -fno-threadsafe-statics -fvisibility=hidden
    -fno-asynchronous-unwind-tables -fno-unwind-tables -ffunction-sections -fdata-sections -D_FILE_OFFSET_BITS=64"

# build NAME TRIPLE LIBRARY_FLAGS: the test program $build/NAME/fiber_test for TRIPLE, the
# library built with LIBRARY_FLAGS besides the lean ones. Each step only after the one before
# succeeded (set -e does not hold in a function whose status is tested).
build() {
    name=$1 cxx=$2-g++ library_flags=$3
    out=$build/$name
    # shellcheck disable=SC2086 # the flags are words on purpose
    rm -rf "$out" && mkdir -p "$out" &&
        "$cxx" $lean $library_flags -Isupport -c support/fiber.cpp -o "$out/fiber.o" &&
        "$cxx" -std=c++20 -O2 -Wall -Wextra -D_FILE_OFFSET_BITS=64 -Isupport -c tests/fiber_test.cpp \
            -o "$out/fiber_test.o" &&
        "$cxx" -std=c++20 -O1 -I"$gtest/include" -I"$gtest" -c "$gtest/src/gtest-all.cc" -o "$out/gtest-all.o" &&
        "$cxx" -std=c++20 -O1 -I"$gtest/include" -c "$gtest/src/gtest_main.cc" -o "$out/gtest_main.o" &&
        "$cxx" -pthread "$out/fiber.o" "$out/fiber_test.o" "$out/gtest-all.o" "$out/gtest_main.o" -o "$out/fiber_test"
}

mkdir -p "$build"
# The two cross builds at once, one per core of a small machine.
build aarch64 aarch64-linux-gnu -mgeneral-regs-only >"$build/aarch64.log" 2>&1 &
aarch64_build=$!
built=true
build arm-mode arm-linux-gnueabihf "-marm -D_TIME_BITS=64" >"$build/arm-mode.log" 2>&1 || built=false
wait "$aarch64_build" || built=false
# Warnings too.
cat "$build/aarch64.log" "$build/arm-mode.log"
if [ "$built" = false ]; then
    echo "fiber cross build FAILED"
    exit 1
fi
rm -rf "$build/ucontext"
mkdir -p "$build/ucontext"
# shellcheck disable=SC2086
g++ $lean -DWEBSRV_FIBER_UCONTEXT -Isupport -c support/fiber.cpp -o "$build/ucontext/fiber.o"
g++ -std=c++20 -O2 -Wall -Wextra -Isupport tests/fiber_test.cpp "$build/ucontext/fiber.o" -lgtest -lgtest_main -pthread \
    -o "$build/ucontext/fiber_test"

# ---- Run under emulation -----------------------------------------------------------------
# run NAME [EMULATOR -L SYSROOT]
run() {
    name=$1
    shift
    log=$build/$name/fiber_test.log
    if ! "$@" "$build/$name/fiber_test" >"$log" 2>&1; then
        cat "$log"
        echo "fiber test ($name) FAILED"
        exit 1
    fi
    how="natively"
    if [ $# -gt 0 ]; then how="under $1"; fi
    echo "fiber test ($name) $how:"
    grep -E '^\[   info   \]|^\[==========\] [0-9]+ tests? from .* ran|^\[  PASSED  \]' "$log"
}
run aarch64 qemu-aarch64 -L /usr/aarch64-linux-gnu
run arm-mode qemu-arm -L /usr/arm-linux-gnueabihf
run ucontext
