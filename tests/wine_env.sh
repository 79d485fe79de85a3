#!/usr/bin/env bash
# Starts or stops the Wine prefix and persistent wineserver that the test run shares.
# Every Wine process here runs with its standard streams closed: the server and the prefix's
# services live on after the command, and ctest waits for the end of any output pipe they hold.
set -eu
action=$1
export WINEPREFIX=$2 WINEDEBUG=-all
case $action in
start)
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        mkdir -p "$WINEPREFIX"
        wineboot -i </dev/null >/dev/null 2>&1 || true
        wineserver -w
    fi
    # 2: a server for this prefix runs already, which serves as well.
    rc=0
    wineserver -p </dev/null >/dev/null 2>&1 || rc=$?
    [ $rc -eq 0 ] || [ $rc -eq 2 ]
    # Start the prefix's services now, or the first test starts them holding ctest's pipes.
    wine wineboot </dev/null >/dev/null 2>&1
    ;;
stop)
    wineserver -k </dev/null >/dev/null 2>&1 || true
    ;;
esac
