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

# Sparse files read in 1 KiB reads, nothing but tags written to the disk. The line appears only after a
# second, so the tree doubles until a run on the terminal lasts long enough to show it, however
# fast this machine reads.
mkdir "$work/tree"
files=100
for i in $(seq 1 $files); do truncate -s 10M "$work/tree/f$i"; done
# Runs vorbit with the option word on the tree on a terminal, the tree doubling until the run
# shows a progress line; leaves in $shown what the terminal showed. The terminal turns each line
# feed into CR LF; the status lines end at the last erase.
show_on_terminal() {
  while :; do
    script -qec "$vorbit $1 '$work/tree' 1" "$work/typescript" >/dev/null
    shown=$(tr -d '\r' <"$work/typescript" | sed -n '/^Script started/d; /^Script done/d; p')
    grep -q ' files, ' <<<"$shown" && return
    ((files < 6400)) || fail "no progress line on a run of several seconds of vorbit $1"
    for i in $(seq $((files + 1)) $((2 * files))); do truncate -s 10M "$work/tree/f$i"; done
    files=$((2 * files))
  done
}
show_on_terminal -c
grep -q ' files, .* mismatches  ' <<<"$shown" || fail "check's progress line counts no mismatches"

plain=$("$vorbit" -c "$work/tree" 1 2>"$work/plain.err")
[[ -s "$work/plain.err" ]] && fail "standard error is no terminal, yet something was written to it"
after_erase=${shown##*$'\e[K'}
[[ "$after_erase" == "$plain" ]] || fail "the report on a terminal differs from the plain one"

VORBIT_PROGRESS=0 script -qec "$vorbit -c '$work/tree' 1" "$work/quiet" >/dev/null
grep -q $'\e\\[K' "$work/quiet" && fail "VORBIT_PROGRESS=0 still shows a progress line"

# Tag and retag count failures.
for mode in -t -r; do
  show_on_terminal $mode
  grep -q ' files, .* failures  ' <<<"$shown" || fail "the progress line of $mode counts no failures"
done
# One large file shows the line too, on the same terms: a sparse file that doubles until a run of
# it on a terminal lasts long enough; its report is the one line a plain run prints.
size=1
while :; do
  truncate -s "${size}G" "$work/large"
  script -qec "$vorbit -c '$work/large' 1" "$work/typescript" >/dev/null
  shown=$(tr -d '\r' <"$work/typescript" | sed -n '/^Script started/d; /^Script done/d; p')
  grep -q ' files, ' <<<"$shown" && break
  ((size < 64)) || fail "no progress line on a run of several seconds over one file"
  size=$((2 * size))
done
[[ "${shown##*$'\e[K'}" == "$("$vorbit" -c "$work/large" 1)" ]] ||
  fail "the report of one file on a terminal differs from the plain one"
echo "progress: all checks passed"
