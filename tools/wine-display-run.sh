#!/usr/bin/env bash
# Runs a Windows program that opens windows, under Wine on a private virtual
# display and in a Wine prefix of its own ($WINEPREFIX): a wineserver that
# another program started without a display keeps every later window of its
# prefix off the screen. The prefix's wineserver ends before the display does.
set -u
here=$(cd "$(dirname "$0")" && pwd)
: "${WINEPREFIX:?WINEPREFIX names the prefix of its own}"
mkdir -p "$WINEPREFIX"
"$here/wine-prefix.sh" "$(dirname "$WINEPREFIX")" >/dev/null || exit 1
exec xvfb-run -a sh -c '"$@"; status=$?; wineserver -w; exit $status' sh "$here/wine-run.sh" "$@"
