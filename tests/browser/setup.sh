#!/bin/sh
# Installs what the browser test needs when it is missing: Debian's chromium (apt-get, as
# root) and playwright-core at the version package-lock.json pins (npm ci, into
# tests/browser/node_modules). Exits non-zero when something cannot be installed, so that
# the test command stops here instead of reporting a browser test that never ran.
set -eu
cd "$(dirname "$0")"

[ -x /usr/bin/chromium ] || ../install_packages.sh chromium
# certutil, to make the browser's certificate store trust the HTTPS test's CA.
command -v certutil >/dev/null || ../install_packages.sh libnss3-tools

for tool in node npm; do
    if ! command -v "$tool" >/dev/null; then
        echo "setup.sh: $tool is missing; the browser test needs Node.js 20 or later with npm" >&2
        exit 1
    fi
done

# The version package-lock.json pins, and the one installed (empty when none is).
wanted=$(node -p "require('./package-lock.json').packages['node_modules/playwright-core'].version")
installed=$(node -p "try { require('./node_modules/playwright-core/package.json').version } catch { '' }")
if [ "$installed" != "$wanted" ]; then
    echo "installing: playwright-core $wanted"
    npm ci --no-audit --no-fund --loglevel=error
fi
