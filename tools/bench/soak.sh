#!/usr/bin/env bash
# The soak of the relay (not part of the test run): builds the native release
# relay and the Windows relay, prepares the Wine prefix, then runs soak.py for
# the native relay (MINUTES, default 10) and for sovelin-relay.exe under Wine
# (WINE_MINUTES, default 5; 0 skips it). Loopback only; each run is bounded.
# usage: tools/bench/soak.sh [minutes] [soak.py options, e.g. --clients N]
set -eu
cd "$(dirname "$0")/../.."
minutes=${1:-10}
[ $# -gt 0 ] && shift
wine_minutes=${WINE_MINUTES:-5}
tools/setup.sh
cmake --preset release-native >/dev/null
cmake --build --preset release-native --target sovelin-relay -j2
cmake --preset windows >/dev/null
cmake --build --preset windows --target sovelin-relay -j2
tools/wine-prefix.sh build/windows >/dev/null
ulimit -n "$(ulimit -Hn)"
export WINEPREFIX=$PWD/build/windows/wineprefix
status=0
echo "## native, $minutes minutes"
timeout $((${minutes%.*} * 60 + 300)) python3 tools/bench/soak.py \
  --relay build/release-native/sovelin-relay --minutes "$minutes" "$@" || status=1
if [ "$wine_minutes" != 0 ]; then
  echo "## Wine, $wine_minutes minutes"
  timeout $((${wine_minutes%.*} * 60 + 400)) python3 tools/bench/soak.py --wine \
    --relay build/windows/sovelin-relay.exe --minutes "$wine_minutes" "$@" || status=1
fi
exit $status
