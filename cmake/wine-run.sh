#!/usr/bin/env bash
# Runs a Windows test program under Wine in the test run's own prefix.
# tests/wine/prefix.sh creates the prefix and starts the persistent
# wineserver; without it this falls back to a prefix beside the build.
export WINEPREFIX=${WINEPREFIX:-${TOVL_WINEPREFIX:-$(cd "$(dirname "$0")/.." && pwd)/build/win32/wineprefix}}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
exec wine "$@"
