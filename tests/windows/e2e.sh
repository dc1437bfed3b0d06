#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# kestrane-cli.exe under wine against the native stand-in server on loopback:
# every source the stand-in serves saves the sample numbers, read from a list
# file with non-ASCII letters in its name, byte for byte as the Linux build
# saves them; dl.log ends its records in CR LF; a save folder with non-ASCII
# letters is refused with the Linux build's words; Ctrl-C gives 130 and a
# Cancelled record and kills the outside merge program (a .cmd that starts a
# child of its own).
#   tests/windows/e2e.sh BUILD_WIN [BUILD_LINUX]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
win=$(cd "$1" && pwd)
linux=${2:-${KESTRANE_BUILD_DIR:-$root/build}}
export WINEDEBUG=-all
numbers=(DE19758096C2 DE60218500T2 DE102006026208A1)

if [ ! -x "$linux/server/kestrane-pubserver" ] || [ ! -x "$linux/cli/kestrane-cli" ]; then
  # A native build: the cross build's pkg-config search path must not reach it.
  env -u PKG_CONFIG_LIBDIR KESTRANE_BUILD_DIR="$linux" \
    KESTRANE_TARGETS="kestrane-pubserver kestrane-cli" "$root/scripts/build" -DKESTRANE_GUI=OFF
fi
cli_exe=$win/cli/kestrane-cli.exe
[ -f "$cli_exe" ] || { echo "e2e: $cli_exe is missing" >&2; exit 1; }

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

fail=0
check() {  # check DESCRIPTION COMMAND...
  if "${@:2}"; then echo "   ok: $1"; else echo "   FAILED: $1"; fail=1; fi
}
sound_pdf() { qpdf --check "$1" >/dev/null 2>&1; }
winpath() { printf 'Z:%s' "${1//\//\\}"; }

start_server() {  # start_server OUT [ARGS...]: the base URL lands in OUT
  "$linux/server/kestrane-pubserver" --port 0 --ops-key e2e-key --ops-secret e2e-secret "${@:2}" >"$1" &
  pids+=($!)
  for _ in $(seq 200); do [ -s "$1" ] && break; sleep 0.05; done
  [ -s "$1" ] || { echo "e2e: the stand-in server did not start" >&2; exit 1; }
}
start_server "$work/server"
base=$(head -n1 "$work/server")

source_env() {  # the environment a source needs against the stand-in
  case $1 in
    ops) echo "KESTRANE_OPS_BASE=$base/3.2 KESTRANE_OPS_KEY=e2e-key KESTRANE_OPS_SECRET=e2e-secret" ;;
    *) echo "" ;;
  esac
}

# Records without their time stamps, and whether every line ends in CR LF.
records() { sed -E 's/^[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} //' "$1"; }
crlf_only() { [ -s "$1" ] && ! LC_ALL=C grep -qv $'\r$' "$1" && [ "$(tail -c2 "$1" | od -An -c | tr -d ' ')" = '\r\n' ]; }

# wine's first start in a fresh prefix takes a while.
wine cmd /c exit >/dev/null 2>&1 || true

list="$work/Nummern für Prüfung.txt"
printf '%s\r\n' "${numbers[@]}" >"$list"
for src in classic ops; do
  echo "-- source $src"
  save="$work/windows/$src"
  ref="$work/linux/$src"
  mkdir -p "$save" "$ref"
  env KESTRANE_SERVER_BASE="$base" $(source_env "$src") \
    "$linux/cli/kestrane-cli" -q --source "$src" -o "$ref" -i "$list" >/dev/null 2>&1 || true
  set +e
  env KESTRANE_SERVER_BASE="$base" $(source_env "$src") \
    wine "$cli_exe" -q --source "$src" -o "$(winpath "$save")" -i "$(winpath "$list")" >"$work/out" 2>&1
  status=$?
  set -e
  [ "$status" -eq 0 ] || cat "$work/out"
  check "$src: exit status 0 (was $status)" test "$status" -eq 0
  check "$src: the files the Linux build saved" diff <(cd "$save" && ls) <(cd "$ref" && ls)
  for pdf in "$ref"/*.pdf; do
    n=$(basename "$pdf")
    check "$src: $n is a sound PDF" sound_pdf "$save/$n"
    check "$src: $n equals the Linux build's" cmp -s "$save/$n" "$pdf"
  done
  check "$src: dl.log records as on Linux" diff <(records "$save/dl.log" | tr -d '\r') <(records "$ref/dl.log" | tr -d '\r')
  check "$src: dl.log lines end in CR LF" crlf_only "$save/dl.log"
  check "$src: no temp folder left" test ! -e "$save/temp"
done

echo "-- a save folder with non-ASCII letters"
umlauts="$work/Prüfung Ü"
mkdir -p "$umlauts"
set +e
KESTRANE_SERVER_BASE=$base "$linux/cli/kestrane-cli" -q -o "$umlauts" "${numbers[0]}" >"$work/linux.out" 2>&1
linux_status=$?
KESTRANE_SERVER_BASE=$base wine "$cli_exe" -q -o "$(winpath "$umlauts")" "${numbers[0]}" >"$work/win.out" 2>&1
win_status=$?
set -e
check "refused as on Linux (exit $win_status, Linux $linux_status)" test "$win_status" -eq "$linux_status"
# The refusal names the folder as each system spells it (Z:\... under wine), its
# bytes escaped; the words around it are the same.
folder_named() { tr -d '\r' <"$1" | sed 's/^Save folder .* is not a plain ASCII path$/Save folder FOLDER is not a plain ASCII path/'; }
check "refused with the Linux build's words" diff <(folder_named "$work/win.out") <(folder_named "$work/linux.out")
check "the refusal names the folder, escaped" grep -qF 'Pr\xC3\xBCfung \xC3\x9C is not' "$work/win.out"
check "nothing written into it" test -z "$(ls -A "$umlauts")"

echo "-- Ctrl-C during an outside merge"
cancel="$work/cancel"
mkdir -p "$cancel"
ticks=$work/ticks
standin=$(winpath "$win/tests/kestrane-child-standin.exe")
# The merge program: a batch file whose own child keeps writing until killed.
printf '@echo off\r\n"%s" tick %s\r\n' "$standin" "$(winpath "$ticks")" >"$work/slow-merge.cmd"
set +e
KESTRANE_SERVER_BASE=$base KESTRANE_MERGE_PROGRAM=$(winpath "$work/slow-merge.cmd") \
  wine "$cli_exe" -q --source classic -o "$(winpath "$cancel")" "${numbers[0]}" >"$work/cancel.out" 2>&1 &
cli_pid=$!
for _ in $(seq 600); do [ -s "$ticks" ] && break; sleep 0.1; done
kill -INT "$cli_pid"
wait "$cli_pid"
status=$?
set -e
check "Ctrl-C: exit status 130 (was $status)" test "$status" -eq 130
check "Ctrl-C: a Cancelled record" grep -q "${numbers[0]} Cancelled"$'\r$' "$cancel/dl.log"
before=$(stat -c %s "$ticks" 2>/dev/null || echo 0)
sleep 1
check "Ctrl-C: the merge program's child was killed" test "$(stat -c %s "$ticks" 2>/dev/null || echo 0)" -eq "$before" -a "$before" -gt 0
check "Ctrl-C: no partial document left" test ! -e "$cancel/${numbers[0]}.pdf"

exit $fail
