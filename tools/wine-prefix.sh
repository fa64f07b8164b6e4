#!/usr/bin/env bash
# Prepares the build tree's own Wine prefix once, before the Windows tests:
# wineboot, a stand-in for the "Segoe UI" font, no crash dialog, and the local
# test CA in the current user's Root store. Idempotent.
set -eu
build=$(cd "${1:?usage: wine-prefix.sh BUILD_DIR}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$WINEPREFIX"
if [ ! -f "$WINEPREFIX/user.reg" ] || [ ! -f "$WINEPREFIX/.sovelin-ready" ]; then
  wineboot -i >/dev/null 2>&1 || true
  wineserver -w || true
  wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v "Segoe UI" /t REG_SZ /d "DejaVu Sans" /f >/dev/null 2>&1
  wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
  wineserver -w || true
  touch "$WINEPREFIX/.sovelin-ready"
fi
"$here/make-test-pki.sh" "$build/pki"
trust="$build/tools/sovelin-trust-ca.exe"
if [ -f "$trust" ] && [ ! -f "$WINEPREFIX/.sovelin-ca-trusted" ]; then
  wine "$trust" "$(winepath -w "$build/pki/ca.der" 2>/dev/null)"
  wineserver -w || true
  touch "$WINEPREFIX/.sovelin-ca-trusted"
fi
echo "wine prefix ready: $WINEPREFIX"
