#!/usr/bin/env bash
# A wine prefix for the Windows tests, made fresh: no window on any display (wine's null
# graphics driver, in force from the next start of wine on), then the wine server kept up
# meanwhile so that each program starts quickly.
set -euo pipefail
# Nothing of wine keeps the caller's output open: its servers outlive this script. The steps
# run in a process of their own, writing to the log; when one fails, the log is shown.
if [ "${2:-}" != --steps ]; then
  bash "$0" "$1" --steps </dev/null >"${1%/}.log" 2>&1 && exit 0
  echo "wine prefix $1 not made; its log:" >&2
  cat "${1%/}.log" >&2
  exit 1
fi
set -x
export WINEPREFIX=$1 WINEDEBUG=-all
wineserver -k 2>/dev/null || true
wineserver -w 2>/dev/null || true
rm -rf "$WINEPREFIX"
mkdir -p "$WINEPREFIX"
wineboot -i
wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /t REG_SZ /d null /f
wineserver -k
wineserver -w
wineserver -p60
wine cmd /c exit
