#!/bin/sh
# Builds everything and runs every test: the whole suite in a normal build and again with
# AddressSanitizer, UndefinedBehaviorSanitizer and LeakSanitizer, the browser test, the
# bounded fuzz runs, the 32-bit ARM build under emulation and the fiber test on AArch64. Run
# as root, it first installs the Debian packages (and npm modules) the tests need; otherwise it
# names what is missing.
set -eu
cd "$(dirname "$0")/.."

packages="cmake ninja-build gcc g++ libgtest-dev g++-arm-linux-gnueabihf binutils curl wget pkg-config file man-db bsdextrautils
    libssl-dev openssl libcrypt-dev python3 python3-websockets libcgi-pm-perl dpkg-dev lintian shellcheck busybox systemd"
# shellcheck disable=SC2086
tests/install_packages.sh $packages
tests/browser/setup.sh

jobs=$(nproc)
step() { printf '\n== %s\n' "$*"; }

build=${WEBSRV_BUILD_DIR:-build}
step "build and test ($build)"
cmake -S . -B "$build" -G Ninja -DWEBSRV_TESTS=ON >/dev/null
cmake --build "$build"
# Many server tests mostly wait (on timeouts, on the server): run more at once than cores.
ctest --test-dir "$build" --output-on-failure -j "$((jobs * 2))"

step "build and test with sanitizers (build-sanitize)"
cmake -S . -B build-sanitize -G Ninja -DWEBSRV_TESTS=ON -DWEBSRV_SANITIZE=address,undefined >/dev/null
cmake --build build-sanitize
# The browser test runs once, in the normal build.
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir build-sanitize --output-on-failure -j "$((jobs * 2))" -LE browser

step "fuzzing (bounded)"
fuzz/run.sh build-fuzz

step "32-bit ARM build under emulation"
tests/armhf.sh build-armhf

step "fibers on AArch64 and in ARM mode under emulation"
tests/fiber_cross.sh build-fiber-cross
