#!/usr/bin/env bash
# tests/progress_test.sh VORBIT: on a terminal (made by script), a run that lasts more than a
# second shows its progress line on standard error and erases it before the report, and the
# report is byte for byte the one a run without a terminal prints; VORBIT_PROGRESS=0 and a
# standard error that is no terminal show nothing.
set -euo pipefail
vorbit=$(realpath "${1:?usage: tests/progress_test.sh VORBIT}")
command -v script >/dev/null || { echo "progress: skipped, script is not installed"; exit 0; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "progress: $*" >&2; exit 1; }

# Sparse files read in 1 KiB reads, nothing written to the disk. The line appears only after a
# second, so the tree doubles until a run on the terminal lasts long enough to show it, however
# fast this machine reads.
mkdir "$work/tree"
files=100
for i in $(seq 1 $files); do truncate -s 10M "$work/tree/f$i"; done
# The terminal turns each line feed into CR LF; the status lines end at the last erase.
while :; do
  script -qec "$vorbit -c '$work/tree' 1" "$work/typescript" >/dev/null
  shown=$(tr -d '\r' <"$work/typescript" | sed -n '/^Script started/d; /^Script done/d; p')
  grep -q ' files, .* mismatches  ' <<<"$shown" && break
  ((files < 6400)) || fail "no progress line on a run of several seconds"
  for i in $(seq $((files + 1)) $((2 * files))); do truncate -s 10M "$work/tree/f$i"; done
  files=$((2 * files))
done

plain=$("$vorbit" -c "$work/tree" 1 2>"$work/plain.err")
[[ -s "$work/plain.err" ]] && fail "standard error is no terminal, yet something was written to it"
after_erase=${shown##*$'\e[K'}
[[ "$after_erase" == "$plain" ]] || fail "the report on a terminal differs from the plain one"

VORBIT_PROGRESS=0 script -qec "$vorbit -c '$work/tree' 1" "$work/quiet" >/dev/null
grep -q $'\e\\[K' "$work/quiet" && fail "VORBIT_PROGRESS=0 still shows a progress line"
echo "progress: all checks passed"
