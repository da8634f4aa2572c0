#!/bin/sh
# Builds everything and runs every test. Run as root, it first installs the Debian packages
# the build and the tests need; otherwise it names the ones that are missing.
set -eu
cd "$(dirname "$0")/.."

packages="cmake ninja-build g++ libgtest-dev g++-arm-linux-gnueabihf binutils"
missing=""
for p in $packages; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
    if [ "$(id -u)" = 0 ]; then
        echo "installing:$missing"
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing >/dev/null
    else
        echo "missing Debian packages:$missing (run this script as root to install them)" >&2
        exit 1
    fi
fi

build=${WEBSRV_BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja -DWEBSRV_TESTS=ON >/dev/null
cmake --build "$build"
ctest --test-dir "$build" --output-on-failure -j "$(nproc)"
