#!/usr/bin/env bash
# tests/names_test.sh VORBIT: directories that cannot be read, whose names hold a forged
# "couldn't read" line, controls, C1 characters, bidirectional controls, wide characters or
# blanks, get one line each on standard error, a plain name as it is and any other quoted so
# that a shell reads it back; the report on standard output keeps names byte for byte; and
# check-verdict, its message and its metrics count one unread entry for each. Run as an
# unprivileged user (setpriv), since root reads what modes refuse.
set -euo pipefail
vorbit=$(realpath "${1:?usage: tests/names_test.sh VORBIT}")
verdict=$(dirname "$(realpath "$0")")/../dist/check-verdict
fail() { echo "names: $*" >&2; exit 1; }
as_user=()
if [[ $(id -u) -eq 0 ]]; then
  command -v setpriv >/dev/null || { echo "names: skipped, root without setpriv"; exit 0; }
  as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups)
fi
work=$(mktemp -d)
trap 'chmod -R u+rwx "$work"; rm -rf "$work"' EXIT
chmod 755 "$work"
tree=$work/tree
mkdir "$tree" "$work/metrics"
chmod 777 "$work/metrics"

# The first five hold characters a terminal acts on and are quoted; the last two are not.
names=($'p\nvorbit v2: couldn\'t read secrets.kdbx: Permission denied' $'esc\e[2J\x7f\t'
  $'c1\u009b2J\u0085' $'lone\x9bbyte' $'bidi\u202eabc\u2066' "$(printf '\u6f22%.0s' {1..40})"
  "plain name's (x)")
quoted_names=5
for name in "${names[@]}"; do
  mkdir "$tree/$name"
  printf 'x' >"$tree/$name.jpg"
done
chmod 000 "$tree"/*/
chmod -R a+rX "$tree"/*.jpg

"${as_user[@]}" "$vorbit" -c "$tree" >"$work/out" 2>"$work/err"
(($(wc -l <"$work/err") == ${#names[@]})) ||
  fail "$(wc -l <"$work/err") lines on standard error for ${#names[@]} unreadable directories:
$(cat "$work/err")"
prefix="vorbit v2: couldn't read " suffix=": $(perl -e '$! = 13; print "$!"')"
declare -A told=()
while IFS= read -r line; do
  [[ "$line" == "$prefix"*"$suffix" ]] || fail "not a line about an unread directory: $line"
  path=${line#"$prefix"}
  path=${path%"$suffix"}
  if [[ "$path" == \'* ]]; then
    eval "path=$path"
    told[$path]=quoted
  else
    told[$path]=plain
  fi
done <"$work/err"
for i in "${!names[@]}"; do
  how=plain
  ((i < quoted_names)) && how=quoted
  [[ "${told[$tree/${names[i]}]:-}" == "$how" ]] ||
    fail "no $how line tells back ${names[i]@Q}: $(cat "$work/err")"
  [[ "$(<"$work/out")" == *"$tree/${names[i]}.jpg"$'\n'* ]] ||
    fail "the report does not name ${names[i]@Q}.jpg byte for byte"
done

VORBIT_METRICS_DIR=$work/metrics "${as_user[@]}" "$verdict" "$vorbit" "$tree" >/dev/null \
  2>"$work/verdict.err" && fail "check-verdict passed a tree with unreadable directories"
grep -qx "vorbit-check: ${#names[@]} files or directories in $tree could not be read" \
  "$work/verdict.err" || fail "check-verdict does not count ${#names[@]} unread entries:
$(grep '^vorbit-check' "$work/verdict.err")"
grep -q "^vorbit_check_entries_unread{.*} ${#names[@]}\$" "$work/metrics"/*.prom ||
  fail "the metrics do not count ${#names[@]} unread entries: $(grep unread "$work/metrics"/*.prom)"
echo "names: all checks passed"
