#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# kestrane.exe under wine on a virtual X server, in the middle of a run against
# the native stand-in server (as scripts/screenshot shows the Linux build):
# the picture goes to OUT.PNG, and a second start must hand over to the first
# instance and end.
#   tests/windows/window.sh BUILD_WIN OUT.PNG [BUILD_LINUX]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
win=$(cd "$1" && pwd)
out=$2
linux=${3:-${KESTRANE_BUILD_DIR:-$root/build}}
latency=${SHOT_LATENCY_MS:-250}
export WINEDEBUG=-all

if [ "${4:-}" != "--inside" ]; then
  if [ ! -x "$linux/server/kestrane-pubserver" ]; then
    # A native build: the cross build's pkg-config search path must not reach it.
    env -u PKG_CONFIG_LIBDIR KESTRANE_BUILD_DIR="$linux" KESTRANE_TARGETS=kestrane-pubserver \
      "$root/scripts/build" -DKESTRANE_GUI=OFF
  fi
  exec xvfb-run -a -s "-screen 0 800x600x24" "$0" "$win" "$out" "$linux" --inside
fi

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wineserver -k 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

"$linux/server/kestrane-pubserver" --port 0 --latency "$latency" >"$work/server" &
pids+=($!)
for _ in $(seq 200); do [ -s "$work/server" ] && break; sleep 0.05; done
base=$(head -n1 "$work/server")
[ -n "$base" ] || { echo "window: the stand-in server did not start" >&2; exit 1; }

# wine's first start in a fresh prefix takes a while; not inside the waits below.
wine cmd /c exit >/dev/null 2>&1 || true

# The save folder's name is plain ASCII: the run refuses others, as on Linux.
# Both copies meet under a name of their own, never a copy the user runs.
mkdir -p "$work/Patents"
export KESTRANE_INSTANCE_NAME=kestrane-windows-shot-$$
KESTRANE_SERVER_BASE=$base \
KESTRANE_AUTORUN="DE19758096C2 DE60218500T2 DE102006026208A1" \
KESTRANE_AUTORUN_FOLDER="Z:${work//\//\\}\\Patents" \
  wine "$win/app/kestrane.exe" >/dev/null 2>"$work/kestrane.log" &
pids+=($!)
first=$!

for _ in $(seq 2400); do
  [ -s "$work/Patents/DE19758096C2.pdf" ] && break
  sleep 0.05
done
[ -s "$work/Patents/DE19758096C2.pdf" ] || { echo "window: the run did not get going" >&2; cat "$work/kestrane.log" >&2; exit 1; }
sleep "$(awk "BEGIN { print $latency * 6 / 1000 }")"
# Without a window manager wine draws the frame itself: the picture is the
# window's own rectangle on the root window.
geometry=$(xwininfo -name Kestrane 2>/dev/null | awk '/Absolute upper-left X/ {x=$NF} /Absolute upper-left Y/ {y=$NF} /Width/ {w=$NF} /Height/ {h=$NF} END { if (w) printf "%dx%d+%d+%d", w, h, x, y }')
if [ -n "$geometry" ]; then
  import -window root -crop "$geometry" +repage "$out"
else
  import -window root "$out"
fi
echo "window: wrote $out"

# A second start finds the first and ends instead of opening a window of its
# own; the first keeps running. (The first copy's own account of the request is
# not seen here: a window program's Qt messages did not reach wine's output.)
set +e
timeout 60 wine "$win/app/kestrane.exe" >/dev/null 2>"$work/second.log"
second=$?
set -e
fail=0
check() {
  if "${@:2}"; then echo "   ok: $1"; else echo "   FAILED: $1"; fail=1; fi
}
check "a second start ended (status $second; 124: it kept running)" test "$second" -eq 0
check "the first copy still runs" kill -0 "$first"
[ "$fail" -eq 0 ] || { echo "-- first copy:"; tr -d '\r' <"$work/kestrane.log"; echo "-- second copy:"; tr -d '\r' <"$work/second.log"; }
exit $fail
