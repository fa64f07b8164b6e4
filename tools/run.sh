#!/usr/bin/env bash
# Runs the client on Linux under Wine, with everything it talks to on loopback:
# the service stand-in on 127.0.0.1:8443 and a microsocks upstream with a user
# name and password. Sets up what is missing and builds first.
#
#   tools/run.sh            interactive: Ctrl-C stops everything it started
#   tools/run.sh --smoke    connects once, fetches a page through the client,
#                           closes it and exits (0 on success); for tests
#   --no-build              skip setup and build (the build must exist)
#
# The client appears on $DISPLAY; without a display it runs on a virtual one
# (Xvfb) and a screenshot shows what it looks like.
set -u
cd "$(dirname "$0")/.."
source_dir=$PWD
smoke=0 build_it=1
for arg in "$@"; do
  case $arg in
    --smoke) smoke=1 ;;
    --no-build) build_it=0 ;;
    *) echo "usage: tools/run.sh [--smoke] [--no-build]" >&2; exit 2 ;;
  esac
done
build=$(realpath -m "${SOVELIN_BUILD_DIR:-build/windows}")
# The Wine prefix lives under this folder (BASE/wineprefix).
prefix_base=$(realpath -m "${SOVELIN_PREFIX_BASE:-$build}")
run_dir="$build/run"
say() { echo "run: $*"; }
fail() { echo "run: $*" >&2; exit 1; }

if [ "$build_it" = 1 ]; then
  tools/setup.sh || fail "setup failed"
  cmake --preset windows >/dev/null || fail "configure failed"
  cmake --build --preset windows -j "$(nproc)" || fail "build failed"
fi
[ -f "$build/sovelin.exe" ] || fail "no $build/sovelin.exe; build first"
if [ "$prefix_base" != "$build" ]; then
  # A prefix of its own that trusts the build's test CA: the same pki and tools.
  mkdir -p "$prefix_base"
  for link in pki tools; do
    [ -e "$prefix_base/$link" ] || ln -s "$build/$link" "$prefix_base/$link"
  done
fi
tools/wine-prefix.sh "$prefix_base" >/dev/null || fail "wine prefix failed"

export WINEPREFIX="$prefix_base/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$run_dir"
# Everything started here, stopped in reverse order. Each runs in a session of
# its own, so a Ctrl-C reaches this script alone and the client can still be
# closed the way a user closes it.
pids=()
client_pid="" prefix_cleaned=0
settings_key='HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings'

reg_value() { # NAME -> the value's data, empty when absent
  wine reg query "$settings_key" /v "$1" 2>/dev/null | tr -d '\r' |
    sed -n "s/^ *$1 *REG_[A-Z_]* *//p"
}

clean_proxy() { # no proxy: the state this prefix starts and ends in
  wine reg add "$settings_key" /v ProxyEnable /t REG_DWORD /d 0 /f >/dev/null 2>&1
  wine reg delete "$settings_key" /v ProxyServer /f >/dev/null 2>&1
  wine reg delete "$settings_key" /v ProxyOverride /f >/dev/null 2>&1
}

points_at_client() {
  [ "$(reg_value ProxyEnable)" = 0x1 ] && case "$(reg_value ProxyServer)" in
    *127.0.0.1:10800*) true ;;
    *) false ;; # the client gave the setting back itself, or another program holds it
  esac
}

restore_proxy() {
  [ "$prefix_cleaned" = 1 ] && points_at_client || return 0
  # A client that was killed: its own repair gives back what it kept in its
  # restore file, as its next start would.
  say "the client left the proxy setting pointing at it; running its repair"
  (cd "$run_dir/client" && wine "$build/sovelin.exe" --repair) >/dev/null 2>&1
  points_at_client || return 0
  say "restoring the proxy setting the client left behind"
  clean_proxy
}

close_client() { # the window's own close: it gives the proxy setting back
  [ -n "$client_pid" ] && kill -0 "$client_pid" 2>/dev/null || return 0
  local window
  window=$(xdotool search --name '^Sovelin Desktop$' 2>/dev/null | head -n 1)
  if [ -n "$window" ]; then
    xdotool windowfocus --sync "$window" key alt+F4 2>/dev/null
  fi
  for _ in $(seq 100); do
    kill -0 "$client_pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -0 "$client_pid" 2>/dev/null && kill "$client_pid" 2>/dev/null
  wait "$client_pid" 2>/dev/null
  client_status=$?
  client_pid=""
}

cleanup() {
  trap - INT TERM EXIT
  close_client
  restore_proxy
  local i
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    kill "${pids[i]}" 2>/dev/null
    wait "${pids[i]}" 2>/dev/null
  done
  say "stopped"
}
trap 'cleanup; exit 130' INT TERM
trap cleanup EXIT

# Ports shared with the tests of every build tree on this machine: take them
# in turn.
exec 8>/tmp/sovelin-8443.lock 9>/tmp/sovelin-10800.lock
if ! flock -n 8 || ! flock -n 9; then
  say "waiting for tests using ports 8443/10800 to finish"
  flock -w 300 8 && flock -w 300 9 || fail "ports 8443/10800 stayed busy for 5 minutes"
fi

# Upstream SOCKS5 server with a user name and password (RFC 1929).
upstream_port=""
for port in $(seq 20900 20999); do
  if ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then upstream_port=$port; break; fi
done
[ -n "$upstream_port" ] || fail "no free port for the upstream"
setsid microsocks -i 127.0.0.1 -p "$upstream_port" -u sovelin -P run-secret >"$run_dir/microsocks.log" 2>&1 &
pids+=($!)

# The service stand-in, answering every connection request with that upstream.
state="$run_dir/service"
rm -rf "$state"
mkdir -p "$state"
printf '{"ip":"127.0.0.1","port":%d,"username":"sovelin","password":"run-secret"}' \
  "$upstream_port" >"$state/connection.body"
setsid python3 tools/service/service.py --state-dir "$state" --port 8443 --pki "$build/pki" \
  >"$run_dir/service.log" 2>&1 </dev/null &
pids+=($!)
for _ in $(seq 100); do [ -s "$state/ready" ] && break; sleep 0.1; done
[ -s "$state/ready" ] || fail "the service stand-in did not start; see $run_dir/service.log"

# A local page to fetch through the client, so the first try needs no Internet.
page_port=""
for port in $(seq 20800 20899); do
  if ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then page_port=$port; break; fi
done
[ -n "$page_port" ] || fail "no free port for the local page"
setsid python3 -m http.server "$page_port" --bind 127.0.0.1 --directory "$source_dir/tools/service" \
  >"$run_dir/page.log" 2>&1 &
pids+=($!)

# A display: the current one, or a virtual one.
virtual=0
if [ "$smoke" = 1 ] || [ -z "${DISPLAY:-}" ] || ! xdpyinfo >/dev/null 2>&1; then
  exec 7>"$run_dir/display"
  setsid Xvfb -displayfd 7 -screen 0 1280x800x24 -nolisten tcp >"$run_dir/xvfb.log" 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do [ -s "$run_dir/display" ] && break; sleep 0.1; done
  [ -s "$run_dir/display" ] || fail "Xvfb did not start"
  export DISPLAY=":$(head -n 1 "$run_dir/display")"
  virtual=1
fi

# The prefix starts without a proxy setting: one left by an earlier run or a
# test (perhaps pointing at a proxy long gone) is nobody's own to give back.
clean_proxy
prefix_cleaned=1

# The client keeps settings.dat in its working directory.
mkdir -p "$run_dir/client"
(cd "$run_dir/client" && exec setsid wine "$build/sovelin.exe") >"$run_dir/client.log" 2>&1 &
client_pid=$!
window=""
for _ in $(seq 300); do
  window=$(xdotool search --name '^Sovelin Desktop$' 2>/dev/null | head -n 1)
  [ -n "$window" ] && break
  kill -0 "$client_pid" 2>/dev/null || fail "the client ended at start; see $run_dir/client.log"
  sleep 0.1
done
[ -n "$window" ] || fail "no window after 30 s"
say "the client runs (window $window on display $DISPLAY)"

shot() { # NAME
  sleep 1
  /usr/bin/import -display "$DISPLAY" -window root "$run_dir/$1.png" 2>/dev/null &&
    say "screenshot: $run_dir/$1.png"
}

if [ "$smoke" = 1 ]; then
  # Once the catalogue shows (the first row's flag, US, has its dark blue
  # canton at 30,110 of the client area), press the connect button: the
  # centre of the page right of the 260-pixel list.
  shown=0
  for _ in $(seq 100); do
    eval "$(xdotool getwindowgeometry --shell "$window")"
    IFS=, read -r r g b < <(/usr/bin/import -display "$DISPLAY" -window root -depth 8 \
      -crop "1x1+$((X + 30))+$((Y + 110))" txt:- 2>/dev/null | sed -n 's/.*srgb(\(.*\)).*/\1/p')
    [ "${r:-255}" -lt 40 ] && [ "${b:-0}" -gt 80 ] && { shown=1; break; }
    sleep 0.3
  done
  [ "$shown" = 1 ] || fail "smoke: no catalogue shown after 30 s"
  xdotool mousemove $((X + 260 + (WIDTH - 260) / 2)) $((Y + HEIGHT / 2 + 40)) click 1
  for _ in $(seq 150); do
    (exec 3<>/dev/tcp/127.0.0.1/10800) 2>/dev/null && break
    sleep 0.2
  done
  shot connected
  body=$(curl -s --max-time 15 --socks5-hostname 127.0.0.1:10800 \
    "http://127.0.0.1:$page_port/README.md")
  proxy=$(reg_value ProxyServer)
  close_client
  case "$body" in
    *"Service stand-in"*) say "smoke: page fetched through 127.0.0.1:10800 (proxy was $proxy)" ;;
    *) fail "smoke: no page through 127.0.0.1:10800" ;;
  esac
  [ "${client_status:-1}" = 0 ] || fail "smoke: the client exited with ${client_status:-?}"
  exit 0
fi

[ "$virtual" = 1 ] && shot window
cat <<EOF

The client is running. Press its round button to connect through the local
upstream (microsocks on 127.0.0.1:$upstream_port). Then send traffic through it:

    curl --socks5-hostname 127.0.0.1:10800 http://127.0.0.1:$page_port/README.md

(a page served on loopback by this script; any other address works the same
way: the upstream connects to it). Programs that use the Windows proxy
setting inside this Wine prefix ($WINEPREFIX) go through it by themselves.
EOF
[ "$virtual" = 1 ] && echo "Another screenshot: DISPLAY=$DISPLAY /usr/bin/import -window root shot.png"
echo "Ctrl-C stops everything started here and restores the proxy setting."
wait "$client_pid"
client_status=$?
client_pid=""
say "the client exited with $client_status"
