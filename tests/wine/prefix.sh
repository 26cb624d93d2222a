#!/usr/bin/env bash
# prefix.sh start|stop DIR: makes a fresh Wine prefix in DIR and starts a
# persistent wineserver for it, or stops that wineserver and removes DIR.
set -u
action=$1
export WINEPREFIX=$2
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
case $action in
  start)
    wineserver -k 2>/dev/null
    rm -rf "$WINEPREFIX"
    wineboot -i >/dev/null 2>&1 || { echo "wineboot failed"; exit 1; }
    wineserver -w
    wineserver -p </dev/null >/dev/null 2>&1 &
    # The prefix is ready once a program runs in it.
    wine cmd /c exit 0 >/dev/null 2>&1 || { echo "wine cannot run programs"; exit 1; }
    echo "prefix ready in $WINEPREFIX"
    ;;
  stop)
    wineserver -k 2>/dev/null
    rm -rf "$WINEPREFIX"
    echo "prefix removed"
    ;;
esac
