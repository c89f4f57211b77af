#!/bin/sh
# Installs what is missing, builds every platform and runs every test.
set -eu
cd "$(dirname "$0")/.."

scripts/install-deps.sh cmake g++ make libgtest-dev python3 util-linux \
    mingw-w64 wine64 locales

# Wine maps non-ASCII file names right only when the Japanese locale exists on this side.
if ! locale -a 2>/dev/null | grep -qi '^ja_JP\.utf-\?8$'; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo localedef -i ja_JP -f UTF-8 ja_JP.UTF-8
fi

cmake --preset linux
cmake --build --preset linux
cmake --preset windows
cmake --build --preset windows

status=0
ctest --preset linux || status=1
ctest --preset windows || status=1
exit $status
