#!/usr/bin/env bash
# Sets up a Debian 12 machine, builds the program and its tests with MinGW-w64, and runs every
# test: the logic tests and the resource test under Wine, the end-to-end tests against the real
# program in a Wine desktop on Xvfb.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup-debian.sh
cmake --preset mingw >/dev/null
cmake --build --preset mingw
ctest --preset mingw "$@"
