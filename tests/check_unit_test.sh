#!/usr/bin/env bash
# tests/check_unit_test.sh BUILD_DIR | --installed: runs the command line of
# vorbit-check@.service, as systemd would for an instance, on trees in known states; the
# service must end with status 0 only when nothing is wrong, and print vorbit's report
# unchanged. Then with the unit's user and capability (through setpriv) on another user's
# private tree, and under strace against the unit's list of allowed system calls; each skips
# with its reason where it cannot run. With BUILD_DIR, on the build installed into a scratch
# prefix; with --installed, on the service and vorbit installed in /usr. Prints one line per
# case; exits 1 when one fails.
set -euo pipefail
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

if [[ "${1:?usage: tests/check_unit_test.sh BUILD_DIR | --installed}" == --installed ]]; then
  configured=/usr prefix=/usr sanitized=OFF
  unit=$(ls /usr/lib/systemd/system/vorbit-check@.service /lib/systemd/system/vorbit-check@.service \
    2>/dev/null | head -n 1)
  [[ -n "$unit" ]] || { echo "FAIL: vorbit-check@.service is not installed"; exit 1; }
else
  build=$(realpath "$1")
  configured=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build/CMakeCache.txt")
  sanitized=$(sed -n 's/^VORBIT_SANITIZE:BOOL=//p' "$build/CMakeCache.txt")
  prefix="$work/prefix"
  cmake --install "$build" --prefix "$prefix" >/dev/null
  unit="$prefix/lib/systemd/system/vorbit-check@.service"
fi
line=$(sed -n 's/^ExecStart=//p' "$unit")
# The words are split as systemd splits a line without quotes, escapes or variables; a line
# with any of those needs a better reading than this one.
if [[ $(grep -c '^ExecStart=' "$unit") -ne 1 || "$line" == *[\"\'\\\$\;]* ]]; then
  echo "FAIL: the service's ExecStart is not one plain command line: $line"
  exit 1
fi
read -ra exec_start <<<"$line"
vorbit="$prefix/bin/vorbit"

# Runs the service's command line for the instance PATH, with the installed files in place of
# the configured prefix (and PROGRAM, when given, in place of vorbit), after the words of
# "confine" (setpriv or strace, or nothing); sets status and report.
confine=()
run_unit() {
  local path=$1 program=${2:-$vorbit} words=() word
  for word in "${exec_start[@]}"; do
    if [[ "$word" == %f ]]; then
      word=$path
    elif [[ "$word" == "$configured"/bin/vorbit ]]; then
      word=$program
    elif [[ "$word" == "$configured"/* ]]; then
      word="$prefix${word#"$configured"}"
    fi
    words+=("$word")
  done
  status=0
  report=$("${confine[@]}" "${words[@]}" 2>"$work/stderr"; code=$?; echo .; exit $code) || status=$?
  report=${report%.}
}

# expect NAME STATUS [PATH]: the last run ended with STATUS and printed what "vorbit -c PATH"
# prints (PATH defaults to the tree).
expect() {
  local name=$1 want=$2 direct
  direct=$("$vorbit" -c "${3:-$tree}"; echo .)
  direct=${direct%.}
  if [[ $status -ne $want ]]; then
    echo "FAIL: $name: status $status, expected $want; report:"
    printf '%s' "$report"
    failures=$((failures + 1))
  elif [[ "$report" != "$direct" ]]; then
    echo "FAIL: $name: the report differs from vorbit -c's"
    diff <(printf '%s' "$direct") <(printf '%s' "$report") || true
    failures=$((failures + 1))
  else
    echo "ok: $name (status $status)"
  fi
}

tree="$work/photos 2019"
mkdir -p "$tree/beach" "$work/empty"
echo one >"$tree/a.jpg"
echo two >"$tree/beach/b.jpg"
head -c 100000 /dev/urandom >"$tree/beach/c.raw"
"$vorbit" -t "$tree" >/dev/null

run_unit "$tree"
expect "every file matches" 0

echo three >"$tree/new.jpg"
run_unit "$tree"
expect "a new file without a tag passes" 0

echo changed >"$tree/beach/b.jpg"
run_unit "$tree"
expect "a changed file fails" 1

run_unit "$tree/a.jpg"
expect "a single file that matches" 0 "$tree/a.jpg"

run_unit "$tree/beach/b.jpg"
expect "a single changed file fails" 1 "$tree/beach/b.jpg"

run_unit "$work/missing"
expect "a missing path fails: nothing was checked" 1 "$work/missing"

run_unit "$work/empty"
expect "a directory without files fails: nothing was checked" 1 "$work/empty"

# vorbit's own failures (a report it could not write, a buffer it could not allocate) cannot
# be caused from here without the buffer size, which the service does not pass; a stand-in
# that prints a clean report and fails shows the status is not lost in the pipe.
printf '#!/bin/sh\n"%s" -c "$2"\nexit 1\n' "$vorbit" >"$work/failing-vorbit"
chmod +x "$work/failing-vorbit"
run_unit "$tree/a.jpg" "$work/failing-vorbit"
expect "vorbit ending with status 1 fails" 1 "$tree/a.jpg"

# A file vorbit could not read is passed over in its report and said on standard error; the
# stand-in says so of one file of a clean tree.
cat >"$work/unreading-vorbit" <<EOF
#!/bin/sh
"$vorbit" -c "\$2"
echo "vorbit v2: couldn't read \$2/beach: Permission denied" >&2
EOF
chmod +x "$work/unreading-vorbit"
run_unit "$tree/a.jpg" "$work/unreading-vorbit"
expect "a file or directory that could not be read fails" 1 "$tree/a.jpg"
if ! grep -q "^vorbit-check: 1 files or directories in .* could not be read$" "$work/stderr"; then
  echo "FAIL: the service does not say how many entries could not be read"
  failures=$((failures + 1))
fi

# The unit's rights as systemd grants them, modelled with setpriv: a user of its own (not root,
# not the tree's owner), whose one capability is the unit's AmbientCapabilities=, which is also
# its whole bounding set; no new privileges. On another user's tree (a
# 0700 directory, 0600 files) the check must read every file, as an unconfined run does, and
# fail when one has changed. Without the capability the same check must fail: otherwise the
# tree would not show that the capability is what reads it.
private="$work/private"
mkdir -p "$private/letters"
echo one >"$private/diary.txt"
echo two >"$private/letters/a.txt"
head -c 300000 /dev/urandom >"$private/letters/scan.raw"
"$vorbit" -t "$private" >/dev/null
bounding=$(sed -n 's/^CapabilityBoundingSet=//p' "$unit")
caps=$(tr ' ' '\n' <<<"$bounding" | sed -n 's/^CAP_\(.\+\)$/+\L\1/p' | paste -sd, -)
confined=no
if ! grep -q '^DynamicUser=yes$' "$unit" || grep -Eq '^(User|PrivateUsers)=' "$unit" ||
  [[ -z "$caps" || "$(sed -n 's/^AmbientCapabilities=//p' "$unit")" != "$bounding" ]]; then
  echo "FAIL: the unit no longer runs as a user of its own with its bounding set as its ambient"
  echo "      capabilities ($bounding): the setpriv model of its rights needs updating"
  failures=$((failures + 1))
elif [[ $(id -u) -ne 0 ]]; then
  echo "skip: the unit's capabilities: another user's tree and a bounding set need root"
elif ! refusal=$(setpriv --bounding-set=-all true 2>&1); then
  echo "skip: the unit's capabilities: setpriv cannot drop the bounding set here: $refusal"
else
  confined=yes
  chmod 0755 "$work"  # the installed programs are reachable by any user, as in /usr
  chown -R 65534:65534 "$private"
  chmod 0700 "$private" "$private/letters"
  chmod 0600 "$private/diary.txt" "$private/letters/a.txt" "$private/letters/scan.raw"
  unit_rights=(setpriv --reuid=61000 --regid=61000 --clear-groups --inh-caps=-all,"$caps"
    --ambient-caps=-all,"$caps" --bounding-set=-all,"$caps" --no-new-privs)
  confine=("${unit_rights[@]}")
  run_unit "$private"
  expect "the unit's capabilities read another user's private files" 0 "$private"

  echo changed >"$private/letters/a.txt"
  run_unit "$private"
  expect "the unit's capabilities: another user's changed file fails" 1 "$private"

  confine=(setpriv --reuid=61000 --regid=61000 --clear-groups --inh-caps=-all --bounding-set=-all
    --no-new-privs)
  run_unit "$private"
  if [[ $status -eq 1 && "$report" != "$("$vorbit" -c "$private")" ]]; then
    echo "ok: without the capability the private tree cannot be checked (status 1)"
  else
    echo "FAIL: without the capability the check still reads the private tree (status $status)"
    failures=$((failures + 1))
  fi
  confine=()
fi

# The unit's SystemCallFilter= is a list of the calls allowed; any other ends the process with
# SIGSYS. Every call the service's programs make in the runs below, traced from a cold page
# cache, must be on it, with its groups expanded by systemd-analyze (systemd adds @default to
# any such list). Among the runs, a file 2,000 levels down, whose half-megabyte report line
# makes awk grow its buffer with mremap.
cold() {
  find "$1" -type f -exec sync {} + -exec dd if={} iflag=nocache count=0 status=none \;
}
if [[ "$sanitized" == ON ]]; then
  echo "skip: the unit's system call filter: a sanitizer's runtime makes calls of its own"
elif ! command -v strace >/dev/null || ! command -v systemd-analyze >/dev/null; then
  echo "skip: the unit's system call filter: it needs strace and systemd-analyze"
else
  read -ra pending <<<"@default $(sed -n 's/^SystemCallFilter=//p' "$unit" | paste -sd ' ' -)"
  declare -A allowed=()
  while [[ ${#pending[@]} -gt 0 ]]; do
    word=${pending[0]}
    pending=("${pending[@]:1}")
    if [[ "$word" == '~'* ]]; then
      echo "FAIL: the unit's system call filter denies $word: this test reads it as a list of"
      echo "      the calls allowed"
      failures=$((failures + 1))
    elif [[ -z "${allowed[$word]:-}" ]]; then
      allowed[$word]=1
      if [[ "$word" == @* ]]; then
        read -ra members <<<"$(systemd-analyze syscall-filter --no-pager "$word" |
          sed -n 's/^ \+\([@a-z0-9_]\+\)$/\1/p' | paste -sd ' ' -)"
        pending+=("${members[@]}")
      fi
    fi
  done
  deep="$work/deep"
  perl -e 'my $name = "d" x 250; mkdir $ARGV[0] and chdir $ARGV[0] or die "$!\n";
    for (1 .. 2000) { mkdir $name and chdir $name or die "$!\n" }
    open(my $file, ">", "file") or die "$!\n"; print $file "x\n"' "$deep"
  calls="$work/calls"
  trace=(strace -f -qq -A -o "$calls")
  cold "$tree"
  confine=("${trace[@]}")
  for path in "$tree" "$tree/a.jpg" "$work/missing" "$work/empty" "$deep"; do
    run_unit "$path"
  done
  if [[ $confined == yes ]]; then
    cold "$private"
    confine=("${unit_rights[@]}" "${trace[@]}")
    run_unit "$private"
  fi
  confine=()
  made=$(sed -n 's/^[0-9]\+ \+\([a-z0-9_]\+\)(.*/\1/p' "$calls" 2>/dev/null | sort -u)
  refused=$(while read -r call; do [[ -n "${allowed[$call]:-}" ]] || echo "$call"; done <<<"$made")
  if [[ -z "$made" ]]; then
    echo "skip: the unit's system call filter: strace traced nothing here: $(head -n 1 "$work/stderr")"
  elif [[ -n "$refused" ]]; then
    echo "FAIL: the service makes system calls its unit does not allow: $(paste -sd ' ' - <<<"$refused")"
    failures=$((failures + 1))
  else
    echo "ok: the unit allows every system call the service made ($(wc -l <<<"$made") of them)"
  fi
fi

[[ $failures -eq 0 ]] || { echo "check unit: $failures failed"; exit 1; }
