#!/usr/bin/env bash
# Starts or stops the Wine prefix and persistent wineserver that the test run shares.
set -eu
action=$1
export WINEPREFIX=$2 WINEDEBUG=-all
case $action in
start)
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        mkdir -p "$WINEPREFIX"
        wineboot -i >/dev/null 2>&1 || true
        wineserver -w
    fi
    wineserver -p </dev/null >/dev/null 2>&1
    ;;
stop)
    wineserver -k 2>/dev/null || true
    ;;
esac
