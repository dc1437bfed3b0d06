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
    KESTRANE_BUILD_DIR=$linux KESTRANE_TARGETS=kestrane-pubserver "$root/scripts/build" -DKESTRANE_GUI=OFF
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

mkdir -p "$work/Patente Ü"
KESTRANE_SERVER_BASE=$base \
KESTRANE_AUTORUN="DE19758096C2 DE60218500T2 DE102006026208A1" \
KESTRANE_AUTORUN_FOLDER="Z:${work//\//\\}\\Patente Ü" \
  wine "$win/app/kestrane.exe" >/dev/null 2>"$work/kestrane.log" &
pids+=($!)
first=$!

for _ in $(seq 1200); do
  [ -s "$work/Patente Ü/DE19758096C2.pdf" ] && break
  sleep 0.05
done
[ -s "$work/Patente Ü/DE19758096C2.pdf" ] || { echo "window: the run did not get going" >&2; cat "$work/kestrane.log" >&2; exit 1; }
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

# A second start reaches the first and ends; the first keeps running.
set +e
timeout 60 wine "$win/app/kestrane.exe" >/dev/null 2>&1
second=$?
set -e
fail=0
if [ "$second" -eq 0 ] && kill -0 "$first" 2>/dev/null; then
  echo "   ok: a second start handed over to the first and ended"
else
  echo "   FAILED: a second start ended with $second (124: it kept running)"
  fail=1
fi
exit $fail
