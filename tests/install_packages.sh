#!/bin/sh
# Installs the Debian packages named on the command line that are not installed yet.
# Usage: tests/install_packages.sh [--no-install-recommends] PACKAGE...
# As root it runs apt-get, waiting for other package runs that hold apt's locks; otherwise it
# names the missing packages and fails, so a caller stops instead of skipping what needs them.
set -eu
options=""
if [ "${1:-}" = --no-install-recommends ]; then
    options=$1
    shift
fi
missing=""
for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -n "$missing" ] || exit 0
if [ "$(id -u)" != 0 ]; then
    echo "missing Debian packages:$missing (run this script as root to install them)" >&2
    exit 1
fi
echo "installing:$missing"
tries=0
until apt-get -o DPkg::Lock::Timeout=300 update -qq; do
    tries=$((tries + 1))
    [ $tries -lt 10 ] || { echo "apt-get update failed" >&2; exit 1; }
    sleep 10
done
# shellcheck disable=SC2086 # the package names are words on purpose
DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=300 install -y -qq $options $missing >/dev/null
