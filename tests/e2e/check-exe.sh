#!/usr/bin/env bash
# The shape of sovelin.exe a user double-clicks: a GUI-subsystem program (no
# console window) whose resources carry the manifest (asInvoker, no UI
# access, DPI-aware per monitor with the older system-wide entry kept).
set -eu
exe=${1:?usage: check-exe.sh SOVELIN_EXE}
x86_64-w64-mingw32-objdump -p "$exe" | grep -Eq '^Subsystem\s+00000002' ||
  { echo "not a GUI-subsystem program"; exit 1; }
# The manifest is stored as UTF-8 text inside .rsrc.
rsrc=$(mktemp)
trap 'rm -f "$rsrc"' EXIT
x86_64-w64-mingw32-objcopy -O binary --only-section=.rsrc "$exe" "$rsrc"
manifest=$(tr -d '\0' <"$rsrc" | tr '\n' ' ' | grep -ao '<assembly.*</assembly>' || true)
for want in 'level="asInvoker"' 'uiAccess="false"' '>true</dpiAware>' '>PerMonitorV2, PerMonitor</dpiAwareness>'; do
  [[ $manifest == *"$want"* ]] || { echo "manifest lacks $want"; exit 1; }
done
echo "sovelin.exe: GUI subsystem, manifest asInvoker, uiAccess false, dpiAware true, PerMonitorV2"
