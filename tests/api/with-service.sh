#!/usr/bin/env bash
# with-service.sh BUILD_DIR PROGRAM.exe [ARGS]
# Runs a Windows test program under Wine beside two service stand-ins on free
# loopback ports: one with the test CA's certificate (trusted in the prefix)
# and one with a certificate nobody trusts. The program finds them through
# SOVELIN_SERVICE_DIR/PORT and SOVELIN_UNTRUSTED_DIR/PORT.
set -u
build=$(cd "${1:?usage: with-service.sh BUILD_DIR PROGRAM [ARGS]}" && pwd)
shift
src=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d "$build/api-service.XXXXXX")
pids=()
cleanup() {
  # Wait (at most 5 s each) until they are gone, so their ports are free
  # again before any lock on them is released.
  local pid _
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${pids[@]}"; do
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  done
}
trap cleanup EXIT
start() { # name port [service.py options]; prints the port
  local out
  out=$("$src/tools/service/start.sh" "$work/$1" "$2" "$build/pki" "${@:3}") || exit 1
  pids+=("${out% *}")
  echo "${out#* }"
}
start trusted 0 >"$work/port"
start untrusted 0 --cert "$build/pki/untrusted.pem" --key "$build/pki/untrusted.key" >"$work/uport"
export SOVELIN_SERVICE_DIR="$work/trusted" SOVELIN_SERVICE_PORT="$(cat "$work/port")"
export SOVELIN_UNTRUSTED_DIR="$work/untrusted" SOVELIN_UNTRUSTED_PORT="$(cat "$work/uport")"
"$src/tools/wine-run.sh" "$@"
rc=$?
# Keep the stand-ins' records of a failed run for a person to read.
[ "$rc" -eq 0 ] && rm -rf "$work" || echo "stand-in state kept in $work"
exit "$rc"
