#!/usr/bin/env bash
# The tour: on a fresh Debian 12 machine, installs what is missing, builds, and shows the tray
# program at work with the companion simulator (tools/companion-sim) in the companion's place.
# Screenshots go to build/tour/, a summary of what happened to the terminal.
#
#   scripts/tour.sh           in a private X display (Xvfb), unattended
#   scripts/tour.sh --live    on the desktop in $DISPLAY, where Wine's desktop opens as a window
#                             (VESTREL_TOUR_LIVE=1 does the same)
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup-debian.sh
cmake --preset mingw >/dev/null
cmake --build --preset mingw
exec python3 scripts/tour.py --build-dir build/mingw --out build/tour "$@"
