#!/usr/bin/env bash
# with-service.sh BUILD_DIR [--port N] PROGRAM.exe [ARGS]
# Runs a Windows test program under Wine beside two service stand-ins on free
# loopback ports: one with the test CA's certificate (trusted in the prefix)
# and one with a certificate nobody trusts. The program finds them through
# SOVELIN_SERVICE_DIR/PORT and SOVELIN_UNTRUSTED_DIR/PORT. --port N puts the
# trusted one on port N instead (the caller holds any lock that port needs).
set -u
build=$(cd "${1:?usage: with-service.sh BUILD_DIR PROGRAM [ARGS]}" && pwd)
shift
trusted_port=0
if [ "${1:-}" = --port ]; then
  trusted_port=$2
  shift 2
fi
src=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d "$build/api-service.XXXXXX")
pids=()
cleanup() {
  local pid _
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  # Wait (at most 5 s) until they are gone, so their ports are free again
  # before any lock on them is released.
  for pid in "${pids[@]}"; do
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  done
}
trap cleanup EXIT
started_port=
start() { # name port [service.py options]; sets started_port
  local out
  out=$("$src/tools/service/start.sh" "$work/$1" "$2" "$build/pki" "${@:3}") || exit 1
  pids+=("${out% *}")
  started_port=${out#* }
}
start trusted "$trusted_port"
port=$started_port
start untrusted 0 --cert "$build/pki/untrusted.pem" --key "$build/pki/untrusted.key"
untrusted_port=$started_port
export SOVELIN_SERVICE_DIR="$work/trusted" SOVELIN_SERVICE_PORT="$port"
export SOVELIN_UNTRUSTED_DIR="$work/untrusted" SOVELIN_UNTRUSTED_PORT="$untrusted_port"
"$src/tools/wine-run.sh" "$@"
rc=$?
# Keep the stand-ins' records of a failed run for a person to read.
[ "$rc" -eq 0 ] && rm -rf "$work" || echo "stand-in state kept in $work"
exit "$rc"
