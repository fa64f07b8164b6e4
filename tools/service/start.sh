#!/usr/bin/env bash
# Starts the service stand-in in the background and waits (at most 10 s) until
# it listens. Prints "PID PORT". Stop it with: kill PID
#   start.sh STATE_DIR [PORT (default 8443, 0 = free port)] [PKI_DIR] [service.py options]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
state=${1:?usage: start.sh STATE_DIR [PORT] [PKI_DIR]}
port=${2:-8443}
pki=${3:-$here/../../build/windows/pki}
shift $(($# < 3 ? $# : 3))
mkdir -p "$state"
rm -f "$state/ready"
python3 "$here/service.py" --state-dir "$state" --port "$port" --pki "$pki" "$@" \
  >"$state/service.log" 2>&1 </dev/null &
pid=$!
for _ in $(seq 100); do
  if [ -s "$state/ready" ]; then
    echo "$pid $(cat "$state/ready")"
    exit 0
  fi
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
kill "$pid" 2>/dev/null || true
echo "service stand-in did not start; see $state/service.log" >&2
exit 1
