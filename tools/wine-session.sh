#!/bin/sh
# SPDX-License-Identifier: LGPL-2.1-or-later
# Starts or stops the Wine session the tests share: one prefix under the build folder
# and one wineserver kept alive for the whole run, so that each test start is cheap.
#   wine-session.sh start PREFIX [DPI] | stop PREFIX
# DPI sets the prefix's display scale (LogPixels), which programs read when they start.
set -eu
action=$1
export WINEPREFIX=$2
unset DISPLAY
export WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

case "$action" in
start)
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    mkdir -p "$WINEPREFIX"
    wineboot --init </dev/null >/dev/null 2>&1
    # Tests run headless: the null driver still gives windows, menus and timers.
    wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f </dev/null >/dev/null 2>&1
    # A crashing test ends at once instead of waiting in a crash dialog.
    wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f </dev/null >/dev/null 2>&1
    wineserver -w
  fi
  # A persistent server; its services must not inherit the test runner's pipes. One
  # already running for the prefix (another run's, or one still on its way out) serves too.
  if ! wineserver -p5 </dev/null >/dev/null 2>&1; then
    sleep 1
    wineserver -p5 </dev/null >/dev/null 2>&1 || true
  fi
  if [ -n "${3:-}" ]; then
    wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$3" /f </dev/null >/dev/null 2>&1
  fi
  wine wineboot </dev/null >/dev/null 2>&1
  ;;
stop)
  wineserver -k </dev/null >/dev/null 2>&1 || true
  ;;
*)
  echo "usage: $0 start|stop PREFIX" >&2
  exit 2
  ;;
esac
