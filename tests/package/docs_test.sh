#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# What a user reads about each program agrees with the program: --version
# answers; --help, the man page and (for kestrane-cli) the bash completion
# list the same options, each once; help and man page list the same
# environment variables, among them every KESTRANE_ variable the program
# holds; and the help shows no parser notation.
#   docs_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
source=$2
fail() { echo "FAIL: $*" >&2; exit 1; }
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

version=$(sed -n 's/^project(Kestrane VERSION \([0-9.]*\).*/\1/p' "$source/CMakeLists.txt")
programs=("$build/cli/kestrane-cli" "$build/server/kestrane-pubserver")
# Answered before Qt starts: no display needed.
[ -x "$build/app/kestrane" ] && programs+=("$build/app/kestrane")

# The heads ("-o, --output DIR") of a help section's entries, one per line.
heads() { # SECTION
  sed -n "/^$1:\$/,/^\$/p" | { grep -E '^  [^ ]' || true; } |
    sed -E 's/^  ([^ ]+( [^ ]+)*)( {2,}.*)?$/\1/'
}
# The words of a man page section (in scdoc) that stand in bold at a line's start.
man_heads() { # SECTION FILE
  sed -n "/^# $1\$/,/^# /p" "$2" | grep -E '^\*' || true
}
names() { { grep -oE -- "$1" || true; } | sort; }

for program in "${programs[@]}"; do
  name=$(basename "$program")
  [ "$(env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM= "$program" --version)" = \
    "$name $version" ] || fail "$name --version"
  help=$(env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM= "$program" --help) ||
    fail "$name --help exits non-zero"
  ! grep -qE 'FLOAT|TEXT|INT:|Excludes|Needs:|in \[' <<<"$help" ||
    fail "$name --help shows parser notation: $(grep -E 'FLOAT|TEXT|INT:|Excludes|Needs:|in \[' <<<"$help")"

  page=$build/docs/man/$name.1.scd
  MANPAGER=cat man -l "$build/docs/man/$name.1.gz" >/dev/null 2>&1 || fail "man page $name"
  heads Options <<<"$help" | names '--[a-z][a-z-]*' >"$scratch/help"
  [ -s "$scratch/help" ] || fail "no options in $name --help"
  man_heads OPTIONS "$page" | names '--[a-z][a-z-]*' >"$scratch/man"
  diff -u "$scratch/help" "$scratch/man" >&2 || fail "$name: --help and $name(1) list other options"
  [ -z "$(uniq -d "$scratch/help")" ] || fail "$name --help lists $(uniq -d "$scratch/help") twice"

  heads Environment <<<"$help" | names '[A-Za-z_]+_[A-Za-z_]+' >"$scratch/help-env"
  man_heads ENVIRONMENT "$page" | names '[A-Za-z_]+_[A-Za-z_]+' >"$scratch/man-env"
  diff -u "$scratch/help-env" "$scratch/man-env" >&2 ||
    fail "$name: --help and $name(1) list other environment variables"
  # The variables the program can look up: whole KESTRANE_ strings among its constants.
  objcopy -O binary --only-section=.rodata "$program" "$scratch/rodata"
  for variable in $(tr '\0' '\n' <"$scratch/rodata" | grep -xE 'KESTRANE_[A-Z_]+' | sort -u); do
    grep -qx "$variable" "$scratch/help-env" || fail "$name reads $variable but its help does not say"
  done
  if [ "$name" = kestrane-cli ]; then
    grep -qx KESTRANE_OPS_BASE "$scratch/help-env" || fail "KESTRANE_OPS_BASE is not in the help"
    cp "$scratch/help" "$scratch/cli-options"
  fi
done

# Completion, as bash-completion loads it: every option of the help, each once.
completion=/usr/share/bash-completion/bash_completion
if [ -f "$completion" ]; then
  PATH=$build/cli:$PATH bash -c '
    source "$1"; source "$2"
    COMP_WORDS=(kestrane-cli --); COMP_CWORD=1; COMP_LINE="kestrane-cli --"; COMP_POINT=${#COMP_LINE}
    _kestrane_cli kestrane-cli -- kestrane-cli
    printf "%s\n" "${COMPREPLY[@]}"' _ "$completion" "$build/docs/completion/kestrane-cli" |
    sort >"$scratch/offered"
  diff -u "$scratch/cli-options" "$scratch/offered" >&2 ||
    fail "the completion offers other options than kestrane-cli --help lists"
  # After --source: every source the help names, as the registry lists them.
  PATH=$build/cli:$PATH bash -c '
    source "$1"; source "$2"
    COMP_WORDS=(kestrane-cli --source ""); COMP_CWORD=2; COMP_LINE="kestrane-cli --source "
    COMP_POINT=${#COMP_LINE}
    _kestrane_cli kestrane-cli "" --source
    printf "%s\n" "${COMPREPLY[@]}"' _ "$completion" "$build/docs/completion/kestrane-cli" |
    sort >"$scratch/offered-sources"
  "$build/cli/kestrane-cli" --help | sed -nE 's/^  --source ([a-z|]+)$/\1/p' | tr '|' '\n' |
    sort >"$scratch/help-sources"
  [ "$(wc -l <"$scratch/help-sources")" -ge 2 ] || fail "--help names no sources"
  diff -u "$scratch/help-sources" "$scratch/offered-sources" >&2 ||
    fail "the completion of --source offers other sources than --help names"
fi
echo "docs test: ${#programs[@]} programs; help, man pages and completion agree"
