#!/usr/bin/env bash
# Real peers through sovelin-relay: curl (SOCKS5, SOCKS5 with host name,
# SOCKS4, SOCKS4a) -> relay on 127.0.0.1:10800 -> microsocks demanding a user
# name and password -> a local HTTP origin. Bodies are compared byte for byte;
# the stop must exit 0 and release the port.
# usage: relay_peers_test.sh BUILD_DIR native|windows
set -u
build=${1:?build dir}
mode=${2:?native or windows}
here=$(cd "$(dirname "$0")" && pwd)
# 10800 is shared by every worktree on this machine.
if [ -z "${SOVELIN_HOLDS_10800:-}" ]; then
  SOVELIN_HOLDS_10800=1 exec flock -w 300 /tmp/sovelin-10800.lock "$0" "$@"
fi
# Two free loopback ports, so that runs in several build trees never collide.
read -r http_port socks_port < <(python3 -c '
import socket
s = [socket.socket() for _ in range(2)]
for x in s: x.bind(("127.0.0.1", 0))
print(*[x.getsockname()[1] for x in s])')
work=$(mktemp -d "$build/peers.XXXXXX")
trap 'kill $(jobs -p) 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
# Polls until 127.0.0.1:$1 is in state $3 (open, or closed) within $2 seconds.
wait_port() {
  local deadline=$((SECONDS + $2)) now
  while [ $SECONDS -lt $deadline ]; do
    now=closed; (exec 3<>/dev/tcp/127.0.0.1/"$1") 2>/dev/null && now=open
    [ "$now" = "${3:-open}" ] && return 0
    sleep 0.1
  done
  return 1
}

mkdir -p "$work/www"
head -c 6000000 /dev/urandom >"$work/www/big.bin"
printf 'hello through the relay\n' >"$work/www/small.txt"
timeout 300 python3 -m http.server "$http_port" --bind 127.0.0.1 --directory "$work/www" >/dev/null 2>&1 &
timeout 300 microsocks -i 127.0.0.1 -p "$socks_port" -u peeruser -P 'peer pass' >/dev/null 2>&1 &
wait_port "$http_port" 20 && wait_port "$socks_port" 20 || fail "peers did not start"
wait_port 10800 1 && fail "127.0.0.1:10800 is already taken"

args=(--upstream "127.0.0.1:$socks_port" --user peeruser --password 'peer pass')
if [ "$mode" = windows ]; then
  mkfifo "$work/stdin"
  "$here/../../tools/wine-run.sh" "$build/sovelin-relay.exe" "${args[@]}" <"$work/stdin" &
  relay=$!
  exec 4>"$work/stdin" # the relay stops when this closes
else
  "$build/sovelin-relay" "${args[@]}" &
  relay=$!
fi
wait_port 10800 90 || fail "relay did not listen"

status=0
for proto in socks5 socks5-hostname socks4 socks4a; do
  for file in big.bin small.txt; do
    out="$work/$proto-$file"
    if curl -sS --max-time 60 --"$proto" 127.0.0.1:10800 "http://127.0.0.1:$http_port/$file" -o "$out" &&
      cmp -s "$out" "$work/www/$file"; then
      echo "ok: --$proto $file ($(stat -c %s "$out") bytes)"
    else
      echo "FAIL: curl --$proto $file"; status=1
    fi
  done
done
if [ "$mode" = windows ]; then exec 4>&-; else kill -TERM "$relay"; fi
deadline=$((SECONDS + 30))
while kill -0 "$relay" 2>/dev/null && [ $SECONDS -lt $deadline ]; do sleep 0.1; done
kill -0 "$relay" 2>/dev/null && { kill -KILL "$relay"; fail "relay did not stop"; }
wait "$relay"
rc=$?
[ $rc -eq 0 ] || fail "relay exit status $rc"
wait_port 10800 5 closed || fail "port 10800 still open after the stop"
echo "relay stopped with status 0, port released"
exit $status
