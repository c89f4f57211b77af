#!/bin/sh
# Installs what is missing, builds every platform and runs every test.
set -eu
cd "$(dirname "$0")/.."

scripts/install-deps.sh cmake g++ make libgtest-dev python3 util-linux

cmake --preset linux
cmake --build --preset linux
ctest --preset linux
