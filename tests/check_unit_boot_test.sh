#!/usr/bin/env bash
# tests/check_unit_boot_test.sh DEB: the weekly check under systemd itself. Installs the package
# DEB in a Debian 12 root and boots it with systemd as PID 1 in systemd-nspawn, where
# tests/check_unit_booted.sh starts vorbit-check@ on trees in known states, with the package's
# unit alone and with README.md's metrics drop-in, and enables the timer as README.md does.
# Prints one line per case; exits 1 when one fails or the root does not boot.
#
# The root is made once by debootstrap (minbase, with systemd and the package's libraries) in
# $VORBIT_TEST_CACHE (default /var/cache/vorbit-tests) and kept there; each run boots an overlay
# of it, so the cached root is never changed by a run. Needs root, systemd-nspawn and
# debootstrap (scripts/setup --ci); without them it says why and skips, or fails when CI=true.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
deb=$(realpath "${1:?usage: tests/check_unit_boot_test.sh DEB}")

skip() {
  if [[ "${CI:-}" == true ]]; then
    echo "FAIL: the boot test cannot run: $*"
    exit 1
  fi
  echo "skip: the boot test: $*"
  exit 0
}
[[ $(id -u) -eq 0 ]] || skip "booting a root with systemd-nspawn needs root"
for tool in systemd-nspawn debootstrap; do
  command -v "$tool" >/dev/null || skip "$tool is missing (scripts/setup --ci installs it)"
done
[[ -f "$deb" ]] || { echo "FAIL: no package $deb"; exit 1; }

# The package's libraries, from its Depends (the first of each choice), go into the cached root,
# where the package is installed without a network.
read -ra depends <<<"$(dpkg-deb -f "$deb" Depends | tr ',' '\n' | sed 's/|.*//; s/(.*)//' |
  paste -sd ' ' -)"
cache=${VORBIT_TEST_CACHE:-/var/cache/vorbit-tests}
base=$cache/bookworm-systemd
mkdir -p "$cache"
# One run at a time makes or completes the cached root.
exec 9>"$cache/bookworm-systemd.lock"
flock 9
if [[ ! -d "$base" ]]; then
  echo "boot test: making a Debian 12 root with systemd in $base (once; a few minutes)" >&2
  rm -rf --one-file-system "$base.new"
  # A half-made root never takes the cached one's name.
  if ! nice debootstrap --variant=minbase \
    --include="systemd,systemd-sysv,dbus,$(IFS=,; echo "${depends[*]}")" \
    bookworm "$base.new" >"$cache/debootstrap.log" 2>&1; then
    echo "FAIL: debootstrap could not make the root: $(tail -n 3 "$cache/debootstrap.log")"
    exit 1
  fi
  mv "$base.new" "$base"
fi
missing=()
for package in "${depends[@]}"; do
  dpkg-query --admindir="$base/var/lib/dpkg" -W -f='${Status}' "$package" 2>/dev/null |
    grep -q "ok installed" || missing+=("$package")
done
if [[ ${#missing[@]} -gt 0 ]]; then
  echo "boot test: installing ${missing[*]} in the cached root" >&2
  if ! chroot "$base" sh -c 'apt-get update -qq &&
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$@"' \
    sh "${missing[@]}" >"$cache/apt.log" 2>&1; then
    echo "FAIL: the package's libraries cannot be installed in the root: $(tail -n 3 "$cache/apt.log")"
    exit 1
  fi
fi
exec 9>&-

work=$(mktemp -d /var/tmp/vorbit-boot.XXXXXX)
root=$work/root
cleanup() {
  if mountpoint -q "$root" 2>/dev/null; then umount "$root" || umount -l "$root"; fi
  # Never into a mount that is still there: the cached root would go with it.
  rm -rf --one-file-system "$work"
}
trap cleanup EXIT
mkdir "$root" "$work/upper" "$work/overlay"
if ! refusal=$(mount -t overlay overlay \
  -o "lowerdir=$base,upperdir=$work/upper,workdir=$work/overlay" "$root" 2>&1); then
  skip "an overlay of the cached root cannot be mounted here: $refusal"
fi

# shown_block LINE: the fenced block of standard input that holds the line LINE, as it is.
shown_block() {
  awk -v line="$1" '/^```/ { if (on && found) { printf "%s", text; exit }
      on = !on; text = ""; found = 0; next }
    on { text = text $0 "\n"; if ($0 == line) found = 1 }'
}
test_dir=/var/lib/vorbit-boot-test
inside=$root$test_dir
mkdir -p "$inside"
install -m 0755 "$here/check_unit_booted.sh" "$inside/run"
readme=$here/../README.md
shown_block "cat >/etc/systemd/system/vorbit-check@.service.d/metrics.conf <<'EOF'" \
  <"$readme" >"$inside/readme-metrics.sh"
# shellcheck disable=SC2016 # the line as README.md writes it, $(...) and all
shown_block 'systemctl enable --now "vorbit-check@$(systemd-escape --path /srv/photos).timer"' \
  <"$readme" >"$inside/readme-timer.sh"
for block in metrics timer; do
  [[ -s "$inside/readme-$block.sh" ]] || { echo "FAIL: README.md shows no $block set-up"; exit 1; }
done

cp "$deb" "$inside/vorbit.deb"
if ! chroot "$root" dpkg -i "$test_dir/vorbit.deb" >"$work/dpkg.log" 2>&1; then
  echo "FAIL: the package does not install in the root: $(tail -n 3 "$work/dpkg.log")"
  exit 1
fi

# The cases run once the system is up, and power it off whatever becomes of them.
cat >"$root/etc/systemd/system/vorbit-boot-test.service" <<EOF
[Unit]
Description=vorbit's weekly check under this systemd
After=multi-user.target

[Service]
Type=oneshot
ExecStart=$test_dir/run $test_dir
ExecStopPost=/bin/systemctl poweroff --no-block
TimeoutStartSec=150
StandardOutput=journal+console
EOF
mkdir -p "$root/etc/systemd/system/multi-user.target.wants"
ln -s ../vorbit-boot-test.service "$root/etc/systemd/system/multi-user.target.wants/"
# No login prompt on the console the test reads.
ln -s /dev/null "$root/etc/systemd/system/console-getty.service"

# --register=no and --keep-unit: no systemd-machined and no transient scope, so the boot needs
# no systemd or bus on this side; --private-network: the root's own network has nothing to do.
# The kernel logs each call the filter refuses (audit type 1326), whichever program made it:
# one in a helper whose failure does not change the verdict would not show otherwise.
kernel_lines=$(dmesg 2>/dev/null | wc -l) || kernel_lines=
started=$SECONDS
status=0
timeout --kill-after=10 180 systemd-nspawn --quiet -D "$root" -b --private-network \
  --register=no --keep-unit </dev/null >"$work/boot.log" 2>&1 || status=$?
results=$inside/results
finished=no failures=0
if [[ -f "$results" ]]; then
  grep -v '^done ' "$results" || true
  if grep -q '^done ' "$results"; then
    finished=yes failures=$(sed -n 's/^done //p' "$results")
  fi
fi
if [[ -z "$kernel_lines" ]]; then
  echo "skip: no call refused by a system call filter during the boot: dmesg cannot be read here"
else
  refused=$(dmesg | tail -n +"$((kernel_lines + 1))" | grep 'type=1326' || true)
  if [[ -n "$refused" ]]; then
    echo "FAIL: calls were refused by a system call filter during the boot:"
    echo "      ${refused//$'\n'/$'\n'      }"
    failures=$((failures + 1))
  elif [[ $finished == yes ]]; then
    echo "ok: no call refused by a system call filter during the boot"
  fi
fi
if [[ $finished == no ]]; then
  if [[ $status -eq 124 ]]; then
    echo "FAIL: the booted root did not power off within 180 s"
  else
    echo "FAIL: the cases did not finish under systemd (systemd-nspawn ended with status $status)"
  fi
  echo "      the end of the boot's console:"
  tail -n 30 "$work/boot.log" | sed 's/^/      /'
  failures=$((failures + 1))
fi
if [[ $failures -ne 0 ]]; then
  echo "boot test: $failures failed"
  exit 1
fi
echo "boot test: all cases passed under $(chroot "$root" systemctl --version | head -n 1)," \
  "booted and powered off in $((SECONDS - started)) s"
