#!/usr/bin/env bash
# Runs the program in the simulated world from many seeds, or replays one run, under Wine with the
# build's own prefix. Builds the simulation first (build/mingw, configured if needed).
#
#   scripts/simulate.sh [--seeds N] [--from S] [--steps K] [--brief 1]
#                                        N runs from seed S on, a progress line every 500; each
#                                        failing run is shrunk and reported (one line each with
#                                        --brief 1)
#   scripts/simulate.sh --seed S [--steps K]       one run, every step, shrunk if it fails
#   scripts/simulate.sh --tape A,B,... --steps K   one run from the tape a report printed
set -euo pipefail
cd "$(dirname "$0")/.."

if [ ! -f build/mingw/build.ninja ]; then
    scripts/setup-debian.sh
    cmake --preset mingw >/dev/null
fi
cmake --build build/mingw --target simulate >/dev/null
# The logic tests' prefix, made as ctest makes it (tests/e2e/harness) if it is not there yet.
exec python3 tests/e2e/harness run build/mingw/wineprefix -- build/mingw/tests/sim/simulate.exe "$@"
