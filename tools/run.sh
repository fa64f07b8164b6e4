#!/usr/bin/env bash
# Sets up what is missing and builds the Windows client.
set -eu
cd "$(dirname "$0")/.."
tools/setup.sh
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$(nproc)"
echo "built: build/windows/"
