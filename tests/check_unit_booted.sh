#!/bin/bash
# tests/check_unit_booted.sh DIR: the weekly check as systemd itself runs it. Runs inside a
# Debian root booted with systemd as PID 1 and vorbit's package installed, as root, started at
# boot by a oneshot unit that tests/check_unit_boot_test.sh puts there with this script and two
# blocks of README.md: DIR/readme-metrics.sh (the metrics drop-in set up as README.md shows it)
# and DIR/readme-timer.sh (the timer enabled as README.md shows it). Writes one line per case to
# DIR/results, then "done FAILURES" last; a missing "done" line means the run did not finish.
set -u
dir=${1:?usage: tests/check_unit_booted.sh DIR}
results=$dir/results
: >"$results"
failures=0
metrics_dir=/var/lib/prometheus/node-exporter

pass() { echo "ok: $*" >>"$results"; }
fail() {
  echo "FAIL: $1" >>"$results"
  shift
  printf '%s\n' "$@" | sed 's/^/      /' >>"$results"
  failures=$((failures + 1))
}

# check NAME PATH RESULT [PASSED]: starts the instance of vorbit-check@ for PATH and waits for
# it; it must end with RESULT (systemctl show's Result), its journal must hold the report's
# summary, and when PASSED is given the metrics file it writes must say vorbit_check_passed
# PASSED for this run. Sets journal to what this run left in the journal.
check() {
  local name=$1 path=$2 want=$3 passed=${4:-} instance unit result cursor problems=()
  local metrics line start
  instance=$(systemd-escape --path "$path")
  unit=vorbit-check@$instance.service
  start=$(date +%s)
  cursor=$(journalctl -q -n 1 --show-cursor -o cat | sed -n 's/^-- cursor: //p')
  systemctl start "$unit" 2>/dev/null
  result=$(systemctl show -p Result --value "$unit")
  journalctl --sync
  journal=$(journalctl -u "$unit" --after-cursor="$cursor" -o cat --no-pager)
  [[ "$result" == "$want" ]] ||
    problems+=("Result=$result, expected $want ($(systemctl show -p ExecMainCode -p ExecMainStatus \
      "$unit" | paste -sd ' ' -))")
  grep -q "^Checked a total of [0-9]* files in $path\$" <<<"$journal" ||
    problems+=("the journal of this run holds no summary of $path")
  if [[ -n "$passed" ]]; then
    metrics=$metrics_dir/vorbit-check@$instance.prom
    line="vorbit_check_passed{path=\"$path\",unit=\"$unit\"} $passed"
    if [[ ! -f "$metrics" ]]; then
      problems+=("no metrics file $metrics")
    elif ! grep -qxF "$line" "$metrics"; then
      problems+=("the metrics file lacks: $line" "it says: $(grep '^vorbit_check_passed' "$metrics")")
    elif ! awk -v start="$start" '/^vorbit_check_start_time_seconds/ { fresh = $2 >= start }
      END { exit !fresh }' "$metrics"; then
      problems+=("the metrics file is not this run's: $(grep '^vorbit_check_start' "$metrics")")
    fi
  fi
  if [[ ${#problems[@]} -eq 0 ]]; then
    pass "$name (Result=$result)"
  else
    fail "$name" "${problems[@]}" "the journal of this run:" "$journal"
  fi
}

mkdir -p /srv/photos/beach
echo one >/srv/photos/a.jpg
echo two >/srv/photos/beach/b.jpg
head -c 200000 /dev/urandom >/srv/photos/beach/c.raw
vorbit -t /srv/photos >/dev/null

# Another user's files, at mode 000 in a 0700 directory: only CAP_DAC_READ_SEARCH reads them.
useradd --no-create-home ann
mkdir -p /srv/private/letters
echo one >/srv/private/diary.txt
echo two >/srv/private/letters/a.txt
vorbit -t /srv/private >/dev/null
chown -R ann:ann /srv/private
chmod 0700 /srv/private /srv/private/letters
chmod 0000 /srv/private/diary.txt /srv/private/letters/a.txt

check "the packaged unit alone, a healthy tree" /srv/photos success

mkdir -p "$metrics_dir"
if ! bash -e "$dir/readme-metrics.sh" >"$dir/readme-metrics.log" 2>&1; then
  fail "README.md's metrics set-up does not run" "$(cat "$dir/readme-metrics.log")"
fi
check "with the metrics drop-in, a healthy tree" /srv/photos success 1

# One byte changed, and the modification time put back: only the contents tell.
touch -r /srv/photos/beach/c.raw "$dir/mtime"
printf 'x' | dd of=/srv/photos/beach/c.raw bs=1 seek=1000 conv=notrunc status=none
touch -m -r "$dir/mtime" /srv/photos/beach/c.raw
check "with the metrics drop-in, a tree with one byte changed" /srv/photos exit-code 0
if grep -q "^❌ digests for /srv/photos/beach/c.raw " <<<"$journal" &&
  grep -qx "vorbit-check: files in /srv/photos do not match their tag" <<<"$journal"; then
  pass "the journal names the changed file"
else
  fail "the journal does not name the changed file /srv/photos/beach/c.raw" "$journal"
fi

check "with the metrics drop-in, another user's files at mode 000 in a 0700 directory" \
  /srv/private success 1
if grep -q "^	2 matched digest correctly\$" <<<"$journal"; then
  pass "both of the other user's files were read"
else
  fail "the other user's files were not both read" "$journal"
fi

if ! bash -e "$dir/readme-timer.sh" >"$dir/readme-timer.log" 2>&1; then
  fail "README.md's timer set-up does not run" "$(cat "$dir/readme-timer.log")"
fi
timers=$(systemctl list-timers --all --no-pager)
if grep -q 'vorbit-check@srv-photos\.timer' <<<"$timers" &&
  [[ $(systemctl is-enabled vorbit-check@srv-photos.timer) == enabled ]]; then
  pass "the timer is enabled and listed by systemctl list-timers"
else
  fail "the timer is not enabled and listed" "$timers"
fi

echo "done $failures" >>"$results"
