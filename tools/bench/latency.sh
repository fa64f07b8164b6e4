#!/usr/bin/env bash
# The latency benchmark (not part of the test run): builds the native release
# relay, makes sure the peers are there and that Dante has a local user to
# check (latency.py makes it), then measures and prints the table, also written to
# build/latency.md. Loopback only; bounded. Run as root.
# usage: tools/bench/latency.sh [--delay MS] [--count N] [--idle S] [--cold-count N] [--hash MD5]
set -eu
cd "$(dirname "$0")/../.."
cmake --preset release-native >/dev/null
cmake --build --preset release-native --target sovelin-relay -j2
. tools/bench/need.sh
need danted:dante-server microsocks:microsocks v2ray:v2ray privoxy:privoxy tinyproxy:tinyproxy
exec timeout 3600 python3 tools/bench/latency.py --relay build/release-native/sovelin-relay "$@"
