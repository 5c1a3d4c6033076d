#!/usr/bin/env bash
# tests/check_unit_test.sh BUILD_DIR | --installed: runs the command line of vorbit-check@.service
# for an instance, in the environment systemd gives it, on trees in known states (faster and in
# more states than tests/check_unit_boot_test.sh, which runs the unit under systemd itself, and
# without what only systemd brings: the journal, the unit's namespaces and its system call filter
# enforced); the service must end with status 0 only when nothing is wrong, and print vorbit's
# report unchanged. With VORBIT_METRICS_DIR, the metrics file it writes must parse as the text
# exposition format (tests/exposition_check.pl, and promtool when installed) and hold the run's
# numbers, and writing it must change neither status nor report. Then with the unit's user and
# capability (through setpriv) on another user's private tree, and under strace against the unit's
# list of allowed system calls; each skips with its reason where it cannot run. With BUILD_DIR, on
# the build installed into a scratch prefix; with --installed, on the service and vorbit installed
# in /usr. Prints one line per case; exits 1 when one fails.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
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
if [[ "$(grep '^Environment=' "$unit")" == *[\"\'\\\$%]* ]]; then
  echo "FAIL: the service's Environment= lines are not plain assignments:"
  grep '^Environment=' "$unit"
  exit 1
fi
read -ra exec_start <<<"$line"
vorbit="$prefix/bin/vorbit"

# What systemd 252 puts in the environment of a service with a user of its own, as
# tests/check_unit_boot_test.sh's booted system shows it: no PWD, no HOME, no SHELL; then the
# unit's own Environment= assignments (read as plain words, as ExecStart= is).
systemd_environment=(LANG=C.UTF-8 PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
  LOGNAME=vorbit-check USER=vorbit-check INVOCATION_ID=0123456789abcdef0123456789abcdef)
read -ra unit_environment <<<"$(sed -n 's/^Environment=//p' "$unit" | paste -sd ' ' -)"

# Runs the service's command line for the instance PATH, with the installed files in place of
# the configured prefix (and PROGRAM, when given, in place of vorbit), after the words of
# "confine" (setpriv or strace, or nothing), from / and in the environment above, with
# VORBIT_METRICS_DIR set to "metrics" when that is not empty; sets status and report, and
# run_start and run_end (seconds since the epoch).
confine=()
metrics=
run_unit() {
  local path=$1 program=${2:-$vorbit} words=() word
  local environment=("${systemd_environment[@]}" "${unit_environment[@]}")
  if [[ -n "$metrics" ]]; then
    environment+=("VORBIT_METRICS_DIR=$metrics")
  fi
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
  run_start=${EPOCHREALTIME/,/.}
  report=$(cd / && env -i "${environment[@]}" "${confine[@]}" "${words[@]}" 2>"$work/stderr"
    code=$?; echo .; exit $code) || status=$?
  run_end=${EPOCHREALTIME/,/.}
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

# A name may hold a line feed and what looks like a mismatch's line: only the summary counts.
fake="$tree/new"$'\n'$'\xe2\x9d\x8c'" digests for a.jpg aren't equal."
echo four >"$fake"
run_unit "$tree"
expect "a new file whose name holds a mismatch's line passes" 0
rm "$fake"

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

mkdir "$work/special"
mkfifo "$work/special/fifo"
ln -s nowhere "$work/special/dangling"
run_unit "$work/special"
expect "a directory of a FIFO and a dangling link fails: nothing was checked" 1 "$work/special"

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

# What check-verdict writes to VORBIT_METRICS_DIR. metrics_are NAME PATH LABEL CHECKED MATCHED
# MISMATCHED UNTAGGED UNREAD PASSED: the metrics directory holds one file and nothing else (no
# temporary file left), named after the unit that checks PATH as systemd names it when
# systemd-escape is here to say how; the file parses, each of its families is a gauge with its
# HELP, each sample is labelled with LABEL (PATH as the format can carry it: U+FFFD for a byte
# that is not UTF-8) and the unit, and holds the numbers given, with the run's start time
# within the run and a duration no longer than it.
families=(files_checked files_matched files_mismatched files_untagged entries_unread
  duration_seconds start_time_seconds passed)
hex() { perl -e 'print unpack("H*", $ARGV[0])' -- "$1"; }
metrics_are() {
  local name=$1 path=$2 label=$3 entries file unit parsed='' problems=() kind metric labels value
  local expected_families='' i=0
  local -A want=([files_checked]=$4 [files_matched]=$5 [files_mismatched]=$6 [files_untagged]=$7
    [entries_unread]=$8 [passed]=$9)
  entries=$(find "$metrics" -mindepth 1 -maxdepth 1 -printf '%f\n')
  if [[ $(wc -l <<<"$entries") -ne 1 || "$entries" != vorbit-check@*.prom ]]; then
    problems+=("the metrics directory holds $(paste -sd ' ' - <<<"$entries")")
  fi
  file=$entries
  if command -v systemd-escape >/dev/null; then
    file="vorbit-check@$(systemd-escape --path -- "$path").prom"
    [[ "$entries" == "$file" ]] || problems+=("no file $file")
  fi
  unit=${file%.prom}.service
  if [[ ${#problems[@]} -eq 0 ]]; then
    if ! parsed=$(perl "$here/exposition_check.pl" "$metrics/$file" 2>&1); then
      problems+=("the file does not parse: $(tail -n 1 <<<"$parsed")")
    elif command -v promtool >/dev/null &&
      ! promtool check metrics <"$metrics/$file" >"$work/promtool" 2>&1; then
      problems+=("promtool check metrics: $(paste -sd ' ' "$work/promtool")")
    fi
  fi
  for metric in "${families[@]}"; do
    expected_families+="family vorbit_check_$metric gauge help"$'\n'
  done
  if [[ ${#problems[@]} -eq 0 && "$(grep '^family ' <<<"$parsed")"$'\n' != "$expected_families" ]]
  then
    problems+=("its families are not the gauges with HELP expected:"
      "$(grep '^family ' <<<"$parsed" | paste -sd ' ' -)")
  fi
  while [[ ${#problems[@]} -eq 0 ]] && read -r kind metric labels value; do
    [[ $kind == sample ]] || continue
    metric=${metric#vorbit_check_}
    if [[ "$labels" != "path=$(hex "$label"),unit=$(hex "$unit")" ]]; then
      problems+=("the labels of $metric are not the path and the unit: $labels")
    elif [[ $metric == duration_seconds ]]; then
      awk -v d="$value" -v s="$run_start" -v e="$run_end" 'BEGIN { exit !(d >= 0 && d <= e - s) }' ||
        problems+=("a duration of $value s for a run of $run_start to $run_end")
    elif [[ $metric == start_time_seconds ]]; then
      awk -v t="$value" -v s="$run_start" -v e="$run_end" 'BEGIN { exit !(t >= int(s) && t <= e) }' ||
        problems+=("a start time of $value for a run of $run_start to $run_end")
    elif [[ $metric != "${families[i]}" || "$value" != "${want[$metric]:-}" ]]; then
      problems+=("sample $((i + 1)) is $metric $value,"
        "expected ${families[i]} ${want[${families[i]}]}")
    fi
    i=$((i + 1))
  done <<<"$parsed"
  if [[ ${#problems[@]} -ne 0 ]]; then
    echo "FAIL: metrics: $name: ${problems[*]}"
    failures=$((failures + 1))
  else
    echo "ok: metrics: $name"
  fi
}

# The reader must refuse what the collector would: otherwise a file passing it proves nothing.
accepted=()
for bad in 'a{path="x"y"} 1' 'a{path="x\y"} 1' 'a{path="x"} 1'$'\n''a{path="x"} 2' \
  $'a{path="\xff"} 1' 'a{path="x"} one' '# TYPE a gauge'$'\n''# TYPE a gauge'$'\n''a 1'; do
  printf '%s\n' "$bad" >"$work/bad.prom"
  perl "$here/exposition_check.pl" "$work/bad.prom" >/dev/null 2>&1 && accepted+=("$bad")
done
if [[ ${#accepted[@]} -ne 0 ]]; then
  echo "FAIL: tests/exposition_check.pl takes what the format does not allow: ${accepted[*]@Q}"
  failures=$((failures + 1))
fi

# A tree of three tagged files and a new one; then one of them changed. The same path, so the
# second run replaces the first one's file.
mtree="$work/metrics tree"
mkdir -p "$mtree/sub"
echo one >"$mtree/a.jpg"
echo two >"$mtree/sub/b.jpg"
echo three >"$mtree/sub/c.jpg"
"$vorbit" -t "$mtree" >/dev/null
echo four >"$mtree/new.jpg"
metrics="$work/metrics-tree"
mkdir "$metrics"
run_unit "$mtree"
expect "with metrics, a passing check" 0 "$mtree"
metrics_are "a passing check" "$mtree" "$mtree" 4 3 0 1 0 1
echo changed >"$mtree/sub/b.jpg"
run_unit "$mtree"
expect "with metrics, a failing check" 1 "$mtree"
metrics_are "a failing check, over the passing one's file" "$mtree" "$mtree" 4 2 1 1 0 0

metrics="$work/metrics-single"
mkdir "$metrics"
run_unit "$mtree/a.jpg"
expect "with metrics, a single file that matches" 0 "$mtree/a.jpg"
metrics_are "a single file that matches" "$mtree/a.jpg" "$mtree/a.jpg" 1 1 0 0 0 1
rm -f "$metrics"/*.prom
run_unit "$mtree/sub/b.jpg"
expect "with metrics, a single changed file" 1 "$mtree/sub/b.jpg"
metrics_are "a single changed file" "$mtree/sub/b.jpg" "$mtree/sub/b.jpg" 1 0 1 0 0 0
rm -f "$metrics"/*.prom
run_unit "$mtree/new.jpg"
expect "with metrics, a single file without a tag" 0 "$mtree/new.jpg"
metrics_are "a single file without a tag" "$mtree/new.jpg" "$mtree/new.jpg" 1 0 0 1 0 1

# Nothing checked: the file is written all the same, with zeros. The path has a "." in front of
# its first component, which systemd escapes, and doubled and trailing slashes, which it drops.
metrics="$work/metrics-missing"
mkdir "$metrics"
missing="/.vorbit-check-test-$$-missing//photos/"
run_unit "$missing"
expect "with metrics, a missing path" 1 "$missing"
metrics_are "a missing path" "$missing" "$missing" 0 0 0 0 0 0

metrics="$work/metrics-unread"
mkdir "$metrics"
run_unit "$mtree/a.jpg" "$work/unreading-vorbit"
expect "with metrics, a file or directory that could not be read" 1 "$mtree/a.jpg"
metrics_are "a file or directory that could not be read" "$mtree/a.jpg" "$mtree/a.jpg" 1 1 0 0 1 0

# A name with a double quote, a backslash and a line feed, each escaped in the label, and
# "Checked a total" spread over two lines of the report; then one with a byte that is not
# UTF-8, which no label may hold.
odd="$work/odd \"quoted\" back\\slash"$'\n'"second line"
mkdir -p "$odd"
echo one >"$odd/a.jpg"
"$vorbit" -t "$odd" >/dev/null
metrics="$work/metrics-odd"
mkdir "$metrics"
run_unit "$odd"
expect "with metrics, a path with a quote, a backslash and a line feed" 0 "$odd"
metrics_are "a path with a quote, a backslash and a line feed" "$odd" "$odd" 1 1 0 0 0 1
latin1="$work/caf"$'\xe9'
metrics="$work/metrics-latin1"
mkdir "$metrics"
run_unit "$latin1"
expect "with metrics, a path that is not UTF-8" 1 "$latin1"
metrics_are "a path that is not UTF-8" "$latin1" "$work/caf"$'\xef\xbf\xbd' 0 0 0 0 0 0

# The file appears whole or not at all: the only file opened for writing in the directory is
# one the collector does not read (not *.prom), renamed to the metrics file.
if ! command -v strace >/dev/null; then
  echo "skip: metrics: the atomic write needs strace"
else
  metrics="$work/metrics-atomic"
  mkdir "$metrics"
  confine=(strace -f -qq -s 4096 -e trace=%file -o "$work/file-calls")
  : >"$work/file-calls"
  run_unit "$mtree"
  confine=()
  direct_writes=0 temporary_writes=0 renames=0
  while IFS= read -r call; do
    [[ "$call" == *"\"$metrics/"* ]] || continue
    if [[ "$call" =~ (^|[^a-z_])(creat|open|openat)\( && "$call" =~ O_(WRONLY|RDWR|CREAT|TRUNC) ]]; then
      if [[ "$call" == *"\"$metrics/"*".prom\""* ]]; then
        direct_writes=$((direct_writes + 1))
      else
        temporary_writes=$((temporary_writes + 1))
      fi
    elif [[ "$call" =~ (^|[^a-z_])rename(at|at2)?\(([A-Z_]+, )?\"([^\"]*)\",\ ([A-Z_]+, )?\"([^\"]*)\" ]]; then
      [[ "${BASH_REMATCH[4]}" != *.prom && "${BASH_REMATCH[6]}" == "$metrics/vorbit-check@"*.prom ]] &&
        renames=$((renames + 1))
    fi
  done <"$work/file-calls"
  if [[ ! -s "$work/file-calls" ]]; then
    echo "skip: metrics: strace traced nothing here: $(head -n 1 "$work/stderr")"
  elif [[ $direct_writes -ne 0 || $temporary_writes -eq 0 || $renames -ne 1 ]]; then
    echo "FAIL: metrics: the file is not written whole and renamed into place: $direct_writes"
    echo "      opened for writing as *.prom, $temporary_writes other files, $renames renames to it"
    failures=$((failures + 1))
  else
    echo "ok: metrics: written under another name, then renamed to *.prom"
    metrics_are "the file renamed into place" "$mtree" "$mtree" 4 2 1 1 0 0
  fi
fi

# A metrics directory that cannot be written changes neither status nor report: it is said on
# standard error, in one line. Missing, for a passing check; then, for a failing one, with a
# directory where the file should go, which must not keep the temporary file either.
# Runs the unit on PATH once, writing its metrics into $metrics, then puts a directory where that
# file goes, so that the next run cannot replace it; leaves its name in $taken.
metrics_name_taken() {
  mkdir "$metrics"
  run_unit "$1"
  taken=$(find "$metrics" -mindepth 1 -maxdepth 1 -name '*.prom' -printf '%f\n')
  rm "$metrics/$taken"
  mkdir "$metrics/$taken"
}

metrics="$work/metrics-nowhere"
run_unit "$mtree/a.jpg"
expect "a metrics directory that is missing does not fail a passing check" 0 "$mtree/a.jpg"
said=$(cat "$work/stderr")
if [[ "$said" != "vorbit-check: metrics not written to $metrics: No such file or directory" ]]; then
  echo "FAIL: metrics: a missing directory is not said as such on standard error: $said"
  failures=$((failures + 1))
fi
metrics="$work/metrics-taken"
metrics_name_taken "$mtree"
run_unit "$mtree"
expect "a metrics file that cannot be replaced does not change a failing check's verdict" 1 "$mtree"
left=$(find "$metrics" -mindepth 1 -maxdepth 1 -printf '%f\n')
if [[ "$left" != "$taken" ]] || ! grep -q "^vorbit-check: metrics not written to $metrics: " "$work/stderr"; then
  echo "FAIL: metrics: a file that cannot be replaced: the directory holds $(paste -sd ' ' - <<<"$left"),"
  echo "      standard error: $(paste -sd ' ' "$work/stderr")"
  failures=$((failures + 1))
fi
metrics=

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

  # The metrics drop-in's rights: the unit's user with a group that may write to the metrics
  # directory (SupplementaryGroups=), under the unit's UMask=. The file must be readable by the
  # collector, another user. Without the group it is not written, and the verdict stands.
  metrics_group=61500
  metrics="$work/metrics-group"
  mkdir "$metrics"
  chown 0:$metrics_group "$metrics"
  chmod 0775 "$metrics"
  group_rights=("${unit_rights[@]/#--clear-groups/--groups=$metrics_group}")
  confine=("${group_rights[@]}")
  umask=$(umask)
  umask "$(sed -n 's/^UMask=//p' "$unit")"
  run_unit "$private"
  umask "$umask"
  expect "with the metrics group, another user's changed file fails" 1 "$private"
  metrics_are "written by the unit's user through its group" "$private" "$private" 3 2 1 0 0 0
  if ! setpriv --reuid=61001 --regid=61001 --clear-groups cat "$metrics"/*.prom >/dev/null; then
    echo "FAIL: metrics: the file is not readable by another user: $(stat -c %A "$metrics"/*.prom)"
    failures=$((failures + 1))
  fi
  rm -f "$metrics"/*.prom
  confine=("${unit_rights[@]}")
  run_unit "$private"
  expect "without the metrics group, the verdict stands" 1 "$private"
  if [[ -n "$(ls -A "$metrics")" ]] ||
    ! grep -qx "vorbit-check: metrics not written to $metrics: Permission denied" "$work/stderr"; then
    echo "FAIL: metrics: without the group: $(ls -A "$metrics") $(paste -sd ' ' "$work/stderr")"
    failures=$((failures + 1))
  fi
  metrics=
  confine=()
fi

# The unit's SystemCallFilter= is a list of the calls allowed; any other ends the process with
# SIGSYS. Every call the service's programs make in the runs below, traced from a cold page
# cache, must be on it, with its groups expanded by systemd-analyze (systemd adds @default to
# any such list). Among the runs, a file 2,000 levels down, whose half-megabyte report line
# makes awk grow its buffer with mremap.
# A cold page cache: the tree's files dropped one by one, and as root the whole page cache, so
# that on a rotating disk the check reads in the disk's order (and makes its calls for that).
cold() {
  find "$1" -type f -exec sync {} + -exec dd if={} iflag=nocache count=0 status=none \;
  if [[ $(id -u) -eq 0 ]]; then sync && echo 3 >/proc/sys/vm/drop_caches; fi
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
  # More files than a probe of the page cache comes round to (one in 32).
  many="$work/many"
  mkdir "$many"
  for i in $(seq 100); do echo "$i" >"$many/$i"; done
  "$vorbit" -t "$many" >/dev/null
  calls="$work/calls"
  trace=(strace -f -qq -A -o "$calls")
  cold "$tree"
  cold "$many"
  confine=("${trace[@]}")
  for path in "$tree" "$many" "$tree/a.jpg" "$work/missing" "$work/empty" "$deep"; do
    run_unit "$path"
  done
  # The metrics: written and renamed (umask, mv); then with a directory where the file goes, so
  # that mv fails and rm removes the temporary file.
  metrics="$work/metrics-trace"
  metrics_name_taken "$tree"
  run_unit "$tree"
  metrics=
  if [[ $confined == yes ]]; then
    cold "$private"
    confine=("${unit_rights[@]}" "${trace[@]}")
    run_unit "$private"
    metrics="$work/metrics-group"
    confine=("${group_rights[@]}" "${trace[@]}")
    run_unit "$private"
    metrics=
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

# The metrics drop-in as README.md and the manual page show it: the same in both, one directory
# for the variable and the writable path, with a group; verified with the unit by
# systemd-analyze and rated with it no higher than 2.0, as scripts/check-install rates the unit
# alone. And README.md's sample file has the HELP and TYPE lines check-verdict writes.
shown() {
  awk -v start="cat >/etc/systemd/system/$1 <<'EOF'" '$0 == "EOF" { on = 0 } on { print }
    $0 == start { on = 1 }'
}
readme="$here/../README.md"
manual="$here/../dist/vorbit.1"
if [[ ! -f "$readme" ]]; then
  echo "skip: the metrics drop-in: no README.md beside the tests"
else
  dropin=$(shown vorbit-check@.service.d/metrics.conf <"$readme")
  directory=$(sed -n 's/^Environment=VORBIT_METRICS_DIR=//p' <<<"$dropin")
  helps=$(grep -h '^# \(HELP\|TYPE\) vorbit_check_' "$work/metrics-tree"/*.prom)
  if [[ -z "$directory" || "$(sed -n 's/^ReadWritePaths=-\{0,1\}//p' <<<"$dropin")" != "$directory" ]] ||
    ! grep -q '^SupplementaryGroups=.' <<<"$dropin"; then
    echo "FAIL: README.md's metrics.conf does not set one directory, writable, with a group:"
    printf '%s\n' "$dropin"
    failures=$((failures + 1))
  elif [[ "$(grep '^# \(HELP\|TYPE\) vorbit_check_' "$readme")" != "$helps" ]]; then
    echo "FAIL: README.md's sample metrics file has other HELP or TYPE lines than check-verdict's"
    failures=$((failures + 1))
  elif command -v man >/dev/null && [[ -f "$manual" ]] &&
    [[ "$(LC_ALL=C.UTF-8 MANWIDTH=300 man -l "$manual" 2>/dev/null | sed 's/^ *//' |
      shown vorbit-check@.service.d/metrics.conf)" != "$dropin" ]]; then
    echo "FAIL: the manual page shows another metrics.conf than README.md"
    failures=$((failures + 1))
  elif ! command -v systemd-analyze >/dev/null; then
    echo "skip: the metrics drop-in is the same in README.md and the manual page; systemd-analyze is missing"
  else
    units="$work/units"
    mkdir -p "$units/vorbit-check@.service.d"
    sed "/^ExecStart=/s|$configured/|$prefix/|g" "$unit" >"$units/vorbit-check@srv-photos.service"
    printf '%s\n' "$dropin" >"$units/vorbit-check@.service.d/metrics.conf"
    if ! complaints=$(cd "$units" && SYSTEMD_UNIT_PATH="$units:" systemd-analyze verify --man=no \
      vorbit-check@srv-photos.service 2>&1) || [[ -n "$complaints" ]]; then
      echo "FAIL: systemd-analyze rejects the unit with the metrics drop-in: $complaints"
      failures=$((failures + 1))
    elif ! rating=$(cd "$units" && SYSTEMD_UNIT_PATH="$units:" systemd-analyze security \
      --offline=true --threshold=20 --no-pager vorbit-check@srv-photos.service 2>&1); then
      echo "FAIL: with the metrics drop-in the unit is exposed beyond 2.0: $(tail -n 1 <<<"$rating")"
      failures=$((failures + 1))
    else
      echo "ok: the metrics drop-in: $(sed -n 's/^→ Overall exposure level for //p' <<<"$rating")"
    fi
  fi
fi

[[ $failures -eq 0 ]] || { echo "check unit: $failures failed"; exit 1; }
