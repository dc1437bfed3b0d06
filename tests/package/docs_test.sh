#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# What a user reads about kestrane-cli says what it does: --version and --help
# answer, the help names the limit, the log, the exit codes and every
# environment variable, the man page documents every option the help lists,
# and bash completes the options the program has.
#   cli_docs_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
source=$2
cli=$build/cli/kestrane-cli
fail() { echo "FAIL: $*" >&2; exit 1; }

version=$(sed -n 's/^project(Kestrane VERSION \([0-9.]*\).*/\1/p' "$source/CMakeLists.txt")
[ "$("$cli" --version)" = "kestrane-cli $version" ] || fail "kestrane-cli --version"
if [ -x "$build/app/kestrane" ]; then
  # Answered before Qt starts: no display needed.
  [ "$(env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM= "$build/app/kestrane" --version)" = \
    "kestrane $version" ] || fail "kestrane --version"
fi

help=$("$cli" --help) || fail "--help exits non-zero"
for word in "At most 20 numbers" dl.log "Exit status" "130" KESTRANE_SERVER_BASE http_proxy \
  KESTRANE_OPS_BASE KESTRANE_OPS_KEY KESTRANE_OPS_SECRET KESTRANE_MERGE_PROGRAM XDG_CONFIG_HOME \
  kestrane.conf; do
  grep -qF -- "$word" <<<"$help" || fail "--help does not mention $word"
done

# Every long option of the program is in its man page (docs/kestrane-cli.1.scd).
options=$(grep -E '^ +-' <<<"$help" | grep -o -- '--[a-z][a-z-]*' | sort -u)
[ -n "$options" ] || fail "no options found in --help"
for option in $options; do
  grep -qE -- "^\*.*$option([^a-z-]|\$)" "$source/docs/kestrane-cli.1.scd" ||
    fail "$option is missing from docs/kestrane-cli.1.scd"
done
for page in kestrane-cli kestrane-pubserver; do
  MANPAGER=cat man -l "$build/docs/man/$page.1.gz" >/dev/null 2>&1 || fail "man page $page"
done

# Completion, as bash-completion loads it.
completion=/usr/share/bash-completion/bash_completion
if [ -f "$completion" ]; then
  offered=$(PATH=$build/cli:$PATH bash -c '
    source "$1"; source "$2"
    COMP_WORDS=(kestrane-cli --); COMP_CWORD=1; COMP_LINE="kestrane-cli --"; COMP_POINT=${#COMP_LINE}
    _kestrane_cli kestrane-cli -- kestrane-cli
    printf "%s\n" "${COMPREPLY[@]}"' _ "$completion" "$source/docs/completion/kestrane-cli")
  for option in $options; do
    grep -qx -- "$option" <<<"$offered" || fail "completion does not offer $option"
  done
fi
echo "cli docs test: $(wc -w <<<"$options") options documented and completed"
