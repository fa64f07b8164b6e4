#!/usr/bin/env bash
# Runs a Windows program under Wine in the build tree's own prefix (never
# ~/.wine). ctest uses it as the cross-compiling emulator.
set -eu
if [ -z "${WINEPREFIX:-}" ]; then
  dir=$(cd "$(dirname "$1")" && pwd)
  while [ "$dir" != / ] && [ ! -f "$dir/CMakeCache.txt" ]; do dir=$(dirname "$dir"); done
  [ -f "$dir/CMakeCache.txt" ] || { echo "wine-run: no build tree above $1" >&2; exit 2; }
  export WINEPREFIX="$dir/wineprefix"
fi
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-"mscoree,mshtml="}
# A program started just as the prefix's wineserver shuts down is cut off
# before any of its code runs ("wine client error:0: recvmsg"), as can happen
# while ctest runs tests back to back. That start, and only that, is made
# once more.
err=$(mktemp)
trap 'rm -f "$err"' EXIT
cutOff() { # the only line on standard error is that one (tee may lag a little)
  local _
  for _ in $(seq 20); do
    [ "$(wc -l <"$err")" -eq 1 ] && grep -q '^wine client error:0: recvmsg' "$err" && return 0
    sleep 0.05
  done
  return 1
}
status=0
wine "$@" 2> >(tee "$err" >&2) || status=$?
if [ "$status" -ne 0 ] && cutOff; then
  echo "wine-run: the wineserver closed on the start of $1; starting it again" >&2
  sleep 1
  status=0
  wine "$@" || status=$?
fi
exit "$status"
