#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The NSIS installer under wine: installs silently, the installed programs
# start, the Start-menu entries exist, and the uninstaller removes it all.
#   tests/windows/installer.sh SETUP.EXE
set -euo pipefail
setup=$1
export WINEDEBUG=-all
drive=${WINEPREFIX:-$HOME/.wine}/drive_c
dir="$drive/Program Files/Kestrane"
menu="$drive/ProgramData/Microsoft/Windows/Start Menu/Programs/Kestrane"
fail=0
check() {
  if "${@:2}"; then echo "   ok: $1"; else echo "   FAILED: $1"; fail=1; fi
}

wine "$setup" /S
wineserver -w
check "installed kestrane-cli" test -f "$dir/kestrane-cli.exe"
if [ -n "${KESTRANE_WIN_WINDOW:-}" ]; then
  check "installed the window" test -f "$dir/kestrane.exe"
  check "a Start-menu entry for the window" test -f "$menu/Kestrane.lnk"
fi
check "installed the user guide" test -f "$dir/doc/index.html"
check "a Start-menu entry for the guide" test -f "$menu/Kestrane user guide.lnk"
version=$(wine "C:\\Program Files\\Kestrane\\kestrane-cli.exe" --version 2>&1 | tr -d '\r')
check "the installed kestrane-cli runs ($version)" grep -q '^kestrane-cli [0-9]' <<<"$version"

wine "C:\\Program Files\\Kestrane\\uninstall.exe" /S
wineserver -w
# The uninstaller runs from a copy of itself, which may end after wineserver's wait.
for _ in $(seq 50); do [ -e "$dir" ] || break; sleep 0.2; done
check "uninstalled the programs" test ! -e "$dir"
check "removed the Start-menu entries" test ! -e "$menu"
exit $fail
