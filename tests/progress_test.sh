#!/usr/bin/env bash
# tests/progress_test.sh VORBIT: on a terminal (made by script), a run that lasts more than a
# second shows its progress line on standard error and erases it before the report, and the
# report is byte for byte the one a run without a terminal prints; VORBIT_PROGRESS=0 and a
# standard error that is no terminal show nothing. Then, on a terminal of 80 columns whose
# screen can be read back (tmux), a run over a tree whose name holds controls, C1 characters,
# bidirectional controls, wide characters or a forged line leaves the screen a run without the
# line leaves, and a run ended by SIGINT, SIGTERM or SIGHUP while the line is shown (also once
# taken back for a line on standard error and drawn again) leaves no line and ends with the
# signal's status.
set -euo pipefail
vorbit=$(realpath "${1:?usage: tests/progress_test.sh VORBIT}")
command -v script >/dev/null || { echo "progress: skipped, script is not installed"; exit 0; }
work=$(mktemp -d)
tmux=(env LC_ALL=C.UTF-8 tmux -L "vorbit-progress-$$" -f /dev/null)
trap '"${tmux[@]}" kill-server 2>/dev/null || true; rm -rf "$work"' EXIT
fail() { echo "progress: $*" >&2; exit 1; }

# Sparse files read in 1 KiB reads, nothing but tags written to the disk. The line appears only after a
# second, so the tree doubles until a run on the terminal lasts long enough to show it, however
# fast this machine reads; by then it has read some bytes, which the line counts.
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
grep -q ' files, 0 B, ' <<<"$shown" && fail "check's progress line counts no bytes read"

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
grep -q ' files, 0 B, ' <<<"$shown" && fail "the progress line of one file counts no bytes read"

command -v tmux >/dev/null || { echo "progress: names and signals skipped, tmux is not installed"; exit 0; }
# on_screen NAME COMMAND [SIGNAL [SHOWN]]: runs the shell command in a terminal of 80 columns and
# 24 rows, then "echo status $?"; leaves the screen at the end in $work/NAME.screen and what was
# written to the terminal in $work/NAME.log. With a signal, ends the command, which writes its
# process id to $work/pid, by that signal once what was written to the terminal matches the Perl
# pattern SHOWN (by default, once it shows a progress line).
on_screen() {
  local name=$1 command=$2 signal=${3:-} shown=${4:-' files, '} waited=0
  rm -f "$work/done" "$work/pid"
  "${tmux[@]}" new-session -d -x 80 -y 24 -s "$name" \
    "$command; echo status \$?; touch '$work/done'; exec sleep 600"
  "${tmux[@]}" pipe-pane -t "$name" "cat >'$work/$name.log'"
  while [[ ! -e "$work/done" ]]; do
    if [[ -n "$signal" && -s "$work/pid" ]] && grep -qzP "$shown" "$work/$name.log" 2>/dev/null; then
      kill -s "$signal" "$(cat "$work/pid")"
      signal=
    fi
    sleep 0.1
    ((++waited < 1200)) || fail "$name: no end after two minutes"
  done
  "${tmux[@]}" capture-pane -p -t "$name" >"$work/$name.screen"
  "${tmux[@]}" kill-session -t "$name"
}

# The tree under each name in turn; where a run does not last long enough to show the line, the
# tree doubles and the name is tried again.
mkdir "$work/names"
wide=$(printf '\u6f22%.0s' {1..40})
names=($'\e[2J\e[H\e]0;title\a\x7f\t\r' $'\u009b2J\u0090q\u0085\x9b31m' $'abc\u202edcb\u2066e\u202a'
  "$wide" $'p\nvorbit v2: couldn\'t read secrets.kdbx: Permission denied')
for name in "${names[@]}"; do
  mv "$work/tree" "$work/names/$name"
  while :; do
    on_screen shown "$vorbit -t '$work/names/'* 1"
    grep -q ' files, ' "$work/shown.log" && break
    ((files < 6400)) || fail "no progress line over the tree named ${name@Q}"
    for i in $(seq $((files + 1)) $((2 * files))); do truncate -s 10M "$work/names/$name/f$i"; done
    files=$((2 * files))
  done
  on_screen plain "VORBIT_PROGRESS=0 $vorbit -t '$work/names/'* 1"
  cmp -s "$work/shown.screen" "$work/plain.screen" ||
    fail "the screen after a run over the tree named ${name@Q} is not the report alone:
$(cat "$work/shown.screen")"
  mv "$work/names/$name" "$work/tree"
done

# Each signal while the line is shown, over a file long enough to read for minutes. perl waits
# for the run and exits with its status as a shell gives it (128 + N), so that no shell names
# the signal on the screen.
truncate -s 64G "$work/large"
for signal in INT TERM HUP; do
  on_screen "$signal" "perl -e 'system @ARGV; exit(\$? & 127 ? 128 + (\$? & 127) : \$? >> 8)' \
    sh -c 'echo \$\$ >$work/pid; exec $vorbit -c $work/large 1'" "$signal"
  [[ "$(sed '/^$/d' "$work/$signal.screen")" == "status $((128 + $(kill -l "$signal")))" ]] ||
    fail "SIG$signal on a run showing the line leaves a screen that is not its status alone:
$(cat "$work/$signal.screen")"
done
# A line taken back for a line on standard error, then drawn again, is erased by a signal too.
# As nobody, over three directories in the walk's order: the first holds a file long enough to
# show the line, the second cannot be read, the third holds the large file the signal comes in.
nobody="setpriv --reuid=65534 --regid=65534 --clear-groups"
if [[ $(id -u) -eq 0 ]] && $nobody "$vorbit" -h >/dev/null 2>&1; then
  chmod 755 "$work"
  mkdir -p "$work/redrawn/"{1,2,3}
  mapfile -t listed < <(ls -f "$work/redrawn" | grep -v '^\.')
  truncate -s 2G "$work/redrawn/${listed[0]}/long"
  mv "$work/large" "$work/redrawn/${listed[2]}/large"
  chmod 000 "$work/redrawn/${listed[1]}"
  unread="vorbit v2: couldn't read $work/redrawn/${listed[1]}: $(perl -e '$! = 13; print "$!"')"
  on_screen redrawn "perl -e 'system @ARGV; exit(\$? & 127 ? 128 + (\$? & 127) : \$? >> 8)' sh -c \
    'echo \$\$ >$work/pid; exec $nobody $vorbit -c $work/redrawn 1'" \
    INT "(?s)couldn't read.* files, "
  [[ "$(sed '/^$/d' "$work/redrawn.screen")" == "$unread"$'\n'"status 130" ]] ||
    fail "SIGINT on a line drawn again after a line on standard error leaves a screen that is not
that line and the status:
$(cat "$work/redrawn.screen")"
fi
echo "progress: all checks passed"
