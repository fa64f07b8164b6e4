#!/usr/bin/env bash
# The benchmark of the engine (not part of the test run): builds the native
# release relay and the Windows relay and yardstick, prepares the Wine prefix,
# then measures (bench.py) and prints one table. Loopback only; bounded.
# usage: tools/bench/run.sh [--megabytes N] [--runs N]
set -eu
cd "$(dirname "$0")/../.."
tools/setup.sh
cmake --preset release-native >/dev/null
cmake --build --preset release-native --target sovelin-relay
cmake --preset windows >/dev/null
cmake --build --preset windows --target sovelin-relay bench-forwarder sovelin-trust-ca
tools/wine-prefix.sh build/windows >/dev/null
ulimit -n "$(ulimit -Hn)" # 5000 idle clients take two descriptors each in the relay
export WINEPREFIX=$PWD/build/windows/wineprefix
exec timeout 1800 python3 tools/bench/bench.py --relay build/release-native/sovelin-relay \
  --wine-relay build/windows/sovelin-relay.exe --forwarder build/windows/bench-forwarder.exe "$@"
