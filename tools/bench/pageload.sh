#!/usr/bin/env bash
# The page-load benchmark (not part of the test run): builds the native release
# relay, installs what is missing (nginx, Chromium, certutil, the upstreams and
# the peers), then measures (pageload.py) and prints the table, also written to
# build/page-load.md. Loopback only; bounded (about 45 minutes with every
# proxy, page and upstream). Run as root.
# usage: tools/bench/pageload.sh [--only NAME[,NAME]] [--samples N] [pageload.py options]
set -eu
cd "$(dirname "$0")/../.."
cmake --preset release-native >/dev/null
cmake --build --preset release-native --target sovelin-relay -j2
. tools/bench/need.sh
need nginx:nginx-light chromium:chromium certutil:libnss3-tools danted:dante-server \
  microsocks:microsocks v2ray:v2ray privoxy:privoxy tinyproxy:tinyproxy tcpdump:tcpdump \
  openssl:openssl
exec timeout 5400 python3 tools/bench/pageload.py --relay build/release-native/sovelin-relay "$@"
