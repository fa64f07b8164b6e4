#!/usr/bin/env bash
# Fails when a Windows program of the build imports a DLL that is not part of
# Windows itself (a MinGW runtime DLL, say), so the .exe can be run alone.
set -eu
build=${1:?usage: check-imports.sh BUILD_DIR}
allowed='^(kernel32|user32|gdi32|gdiplus|ws2_32|mswsock|winhttp|wininet|rasapi32|iphlpapi|crypt32|advapi32|msvcrt|ole32|oleaut32|oleacc|shell32|comctl32|bcrypt|ucrtbase|api-ms-win-[a-z0-9-]+)\.dll$'
mapfile -t exes < <(find "$build" -name '*.exe' -not -path '*/wineprefix/*' -not -path '*/CMakeFiles/*' | sort)
[ "${#exes[@]}" -gt 0 ] || { echo "no .exe found under $build"; exit 1; }
bad=0
for exe in "${exes[@]}"; do
  while read -r dll; do
    if ! echo "$dll" | tr 'A-Z' 'a-z' | grep -Eq "$allowed"; then
      echo "$exe imports $dll"; bad=1
    fi
  done < <(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p')
done
echo "checked ${#exes[@]} programs"
exit $bad
