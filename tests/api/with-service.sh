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
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
}
trap cleanup EXIT
started_port=
start() { # name [service.py options]; sets started_port
  local out
  out=$("$src/tools/service/start.sh" "$work/$1" 0 "$build/pki" "${@:2}") || exit 1
  pids+=("${out% *}")
  started_port=${out#* }
}
start trusted
port=$started_port
start untrusted --cert "$build/pki/untrusted.pem" --key "$build/pki/untrusted.key"
untrusted_port=$started_port
export SOVELIN_SERVICE_DIR="$work/trusted" SOVELIN_SERVICE_PORT="$port"
export SOVELIN_UNTRUSTED_DIR="$work/untrusted" SOVELIN_UNTRUSTED_PORT="$untrusted_port"
"$src/tools/wine-run.sh" "$@"
rc=$?
# Keep the stand-ins' records of a failed run for a person to read.
[ "$rc" -eq 0 ] && rm -rf "$work" || echo "stand-in state kept in $work"
exit "$rc"
