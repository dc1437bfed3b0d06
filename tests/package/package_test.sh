#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the .deb files from this build tree with CPack, checks them with
# lintian, installs them into a scratch root (and, as root in CI, into the
# system with dpkg -i, removed again afterwards), then uses what was installed
# as a user would: the versions, the man pages, the desktop files, and a
# download from the packaged stand-in server with the packaged kestrane-cli.
#   package_test.sh BUILD_DIR
set -euo pipefail
build=$1
scratch=$(mktemp -d)
server_pid=
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  rm -rf "$scratch"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

(cd "$build" && cpack -G DEB -B "$scratch/debs" >"$scratch/cpack.log" 2>&1) ||
  { cat "$scratch/cpack.log"; fail "cpack"; }
kestrane_deb=$(ls "$scratch"/debs/kestrane_*.deb)
server_deb=$(ls "$scratch"/debs/kestrane-pubserver_*.deb)

# Each program in its own package, with its man page; tests and demos stay out of kestrane.
dpkg-deb -c "$kestrane_deb" >"$scratch/kestrane.list"
dpkg-deb -c "$server_deb" >"$scratch/server.list"
for path in usr/bin/kestrane-cli usr/share/man/man1/kestrane-cli.1.gz \
  usr/share/bash-completion/completions/kestrane-cli usr/share/doc/kestrane/copyright \
  usr/share/doc/kestrane/index.html; do
  grep -q "\./$path\$" "$scratch/kestrane.list" || fail "kestrane lacks /$path"
done
for path in usr/bin/kestrane-pubserver usr/share/man/man1/kestrane-pubserver.1.gz; do
  grep -q "\./$path\$" "$scratch/server.list" || fail "kestrane-pubserver lacks /$path"
done
! grep -q "kestrane-pubserver" "$scratch/kestrane.list" || fail "the server is in kestrane"
dpkg-deb -f "$kestrane_deb" Depends | grep -q "libcurl" || fail "no shared-library dependencies"
if command -v lintian >/dev/null; then
  lintian --fail-on error,warning "$kestrane_deb" "$server_deb" 2>/dev/null || fail "lintian"
fi

root=$scratch/root
dpkg-deb -x "$kestrane_deb" "$root"
dpkg-deb -x "$server_deb" "$root"
bin=$root/usr/bin
if [ "$(id -u)" -eq 0 ] && [ "${CI:-}" = true ] && ! dpkg -s kestrane >/dev/null 2>&1; then
  # The real installation checks the dependencies too.
  dpkg -i "$kestrane_deb" "$server_deb" >/dev/null
  trap 'dpkg --purge kestrane kestrane-pubserver >/dev/null; cleanup' EXIT
  bin=/usr/bin
fi

# Stripped: no debugging sections left.
for program in "$bin/kestrane-cli" "$bin/kestrane-pubserver"; do
  file "$program" | grep -q ", stripped" || fail "$program is not stripped"
done
version=$(dpkg-deb -f "$kestrane_deb" Version)
[ "$("$bin/kestrane-cli" --version)" = "kestrane-cli $version" ] || fail "kestrane-cli --version"
[ "$("$bin/kestrane-pubserver" --version)" = "kestrane-pubserver $version" ] ||
  fail "kestrane-pubserver --version"
if [ -x "$bin/kestrane" ]; then
  [ "$(env -u DISPLAY -u WAYLAND_DISPLAY "$bin/kestrane" --version)" = "kestrane $version" ] ||
    fail "kestrane --version"
  desktop-file-validate "$root/usr/share/applications/kestrane.desktop"
  appstreamcli validate --no-net "$root"/usr/share/metainfo/*.metainfo.xml >/dev/null ||
    fail "appstreamcli validate"
fi
MANPAGER=cat man -l "$root/usr/share/man/man1/kestrane-cli.1.gz" 2>/dev/null | grep -q "EXIT STATUS" ||
  fail "the man page does not render"

# A download from the packaged stand-in with the packaged CLI.
"$bin/kestrane-pubserver" --port 0 >"$scratch/server.out" &
server_pid=$!
for _ in $(seq 100); do [ -s "$scratch/server.out" ] && break; sleep 0.1; done
base=$(head -1 "$scratch/server.out")
[ -n "$base" ] || fail "the stand-in server did not start"
mkdir "$scratch/save"
KESTRANE_SERVER_BASE=$base "$bin/kestrane-cli" -o "$scratch/save" DE19758096C2 >"$scratch/cli.out" 2>&1 ||
  { cat "$scratch/cli.out"; fail "the download failed"; }
[ -s "$scratch/save/DE19758096C2.pdf" ] || fail "no merged PDF"
grep -q "DE19758096C2 Success" "$scratch/save/dl.log" || fail "no Success record in dl.log"
echo "package test: $(basename "$kestrane_deb") $(stat -c %s "$kestrane_deb") bytes," \
  "$(basename "$server_deb") $(stat -c %s "$server_deb") bytes"
