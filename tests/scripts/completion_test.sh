#!/usr/bin/env bash
# Sources the generated bash completion and completes command lines with it, the way bash
# does at a Tab: COMP_WORDS and COMP_CWORD in, COMPREPLY out.
# Usage: completion_test.sh PROGRAM COMPLETION_SCRIPT
set -euo pipefail
program=$1
# shellcheck source=/dev/null
source "$2"

faults=0
# complete WORD... : the sorted words offered for the last WORD, joined by "|".
complete_line() {
  COMP_WORDS=("$@")
  COMP_CWORD=$(($# - 1))
  COMPREPLY=()
  _hostswitch
  printf '%s\n' "${COMPREPLY[@]}" | sed '/^$/d' | sort | paste -sd '|'
}
expect() {
  local expected=$1
  shift
  local got
  got=$(complete_line "$@")
  if [ "$got" != "$expected" ]; then
    echo "FAIL: completing '$*': expected '$expected', got '$got'" >&2
    faults=$((faults + 1))
  fi
}

# The options a command's --help lists (both names of "-o,--output"), sorted.
help_options() {
  "$program" "$@" --help | grep -Eo '^  (-[A-Za-z],)?--[A-Za-z0-9-]+' | tr ',' '\n' |
    sed 's/^ *//' | sort | paste -sd '|'
}

expect "sweep" hostswitch sw
expect "--emig-rate|--emit-commands" hostswitch sweep --emi
expect "design|discover|merge|plot|report|run|sweep" hostswitch ""
# A value of an option is not taken for a command, and the command's own options follow.
expect "--emig-rate" hostswitch run --n-gen 5 --emi
expect "--help|--help-all" hostswitch plot --he
# Every flag the help of each command lists, and only those.
expect "$(help_options)" hostswitch -
for command in run sweep plot merge discover; do
  expect "$(help_options "$command")" hostswitch "$command" -
done

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$scratch" || exit 1
mkdir alpha-dir
touch alpha.txt 'alpha *.txt'
# Paths after options that take one, directories only after those that take a directory,
# nothing after numbers; "--name=value" arrives as three words.
# A name with a blank and a star is one word, not split or expanded.
expect "alpha *.txt|alpha-dir|alpha.txt" hostswitch run --output al
expect "alpha *.txt|alpha-dir|alpha.txt" hostswitch run --output = al
expect "alpha-dir" hostswitch sweep --outputs al
expect "" hostswitch run --n-gen al
expect "" hostswitch discover --where al
expect "alpha *.txt|alpha-dir|alpha.txt" hostswitch plot al
expect "alpha *.txt|alpha-dir|alpha.txt" hostswitch merge a

if [ "$faults" -gt 0 ]; then
  echo "$faults completions wrong" >&2
  exit 1
fi
echo "completions as expected"
