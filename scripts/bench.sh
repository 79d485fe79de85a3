#!/usr/bin/env bash
# The benchmark: the cost of a timer tick against its floor, the footprint of the running program
# beside a minimal tray program, and the size of the shipped program, each beside its goal
# (docs/performance.md). Sets the machine up, then hands over to scripts/bench.py, which builds,
# measures under Wine in a desktop of the end-to-end bench and keeps the figures in
# DIR/bench-results.txt.
#
#   scripts/bench.sh [--build-dir DIR] [--rounds N] [--ticks N] [--no-setup]
set -euo pipefail
cd "$(dirname "$0")/.."

for argument in "$@"; do
    if [ "$argument" = --no-setup ]; then
        exec python3 scripts/bench.py "$@"
    fi
done
scripts/setup-debian.sh
exec python3 scripts/bench.py "$@"
