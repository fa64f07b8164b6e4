#!/usr/bin/env bash
# The shape of sovelin.exe a user double-clicks: a GUI-subsystem program (no
# console window) whose resources carry the manifest (asInvoker, no UI
# access, DPI-aware per monitor with the older system-wide entry kept) and
# the project's version.
set -eu
exe=${1:?usage: check-exe.sh SOVELIN_EXE VERSION}
version=${2:?usage: check-exe.sh SOVELIN_EXE VERSION}
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
# VERSIONINFO: the numbers of its fixed part (after the signature FEEF04BD)
# and the FileVersion and ProductVersion texts (UTF-16).
python3 - "$rsrc" "$version" <<'PY'
import struct, sys
data, version = open(sys.argv[1], "rb").read(), sys.argv[2]
at = data.find(struct.pack("<I", 0xFEEF04BD))
if at < 0:
    sys.exit("no VERSIONINFO")
want = [int(n) for n in version.split(".")] + [0]
for ms, ls in (struct.unpack_from("<2I", data, at + 8), struct.unpack_from("<2I", data, at + 16)):
    if [ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF] != want[:4]:
        sys.exit(f"version numbers {ms:#x} {ls:#x}, not {version}")
for key in ("FileVersion", "ProductVersion"):
    end = data.find((key + "\0").encode("utf-16-le")) + 2 * len(key) + 2
    if (version + "\0").encode("utf-16-le") not in data[end:end + 2 * len(version) + 6]:
        sys.exit(f"{key} is not {version}")
PY
echo "sovelin.exe: GUI subsystem, manifest asInvoker, uiAccess false, dpiAware true, PerMonitorV2, version $version"
