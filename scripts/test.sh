#!/usr/bin/env bash
# Sets up a Debian 12 machine, builds the program and its tests with MinGW-w64, and runs every
# test: the logic tests and the resource test under Wine, the end-to-end tests against the real
# program in a Wine desktop on Xvfb; then the Python package's tests (with Debian's pytest) on the
# wheel built from this build, and the check that two builds give the same program and wheel.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup-debian.sh
cmake --preset mingw >/dev/null
cmake --build --preset mingw
ctest --preset mingw "$@"

wheel=$(scripts/package.sh --no-setup | grep '\.whl$')
# Through the same wrapper as every ctest entry: a failure's whole output stays in
# build/mingw/failed-tests/.
VESTREL_WHEEL=$PWD/$wheel VESTREL_BUILD_DIR=$PWD/build/mingw \
    python3 tests/keep_failed_output.py --keep-in build/mingw/failed-tests --name python-tests -- \
    /usr/bin/python3 -m pytest -q python/tests
scripts/check-reproducible.sh --no-setup
