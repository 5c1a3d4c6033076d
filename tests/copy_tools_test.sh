#!/usr/bin/env bash
# tests/copy_tools_test.sh VORBIT: copies a tagged tree with each command of the README's table
# "Keeping tags when you copy" and checks the copy with "VORBIT -c": a command that keeps the
# tag must give a copy whose every file matches, one that drops it a copy whose every file has
# no digest. A tool that is not installed, or a case this machine cannot set up, is skipped with
# the reason. Prints one line per row; exits 1 when a row fails.
set -euo pipefail
vorbit=$(realpath "${1:?usage: tests/copy_tools_test.sh VORBIT}")
work=$(mktemp -d)
made_run_sshd=no
cleanup() {
  # Lazily: a process that glances at a new mount (an indexer, a monitor) can keep it busy for
  # a moment, and the cleanup must not fail the test for that.
  if mountpoint -q "$work/tmpfs" 2>/dev/null; then umount -l "$work/tmpfs"; fi
  [[ $made_run_sshd == yes ]] && rmdir /run/sshd
  rm -rf --one-file-system "$work"
}
trap cleanup EXIT
failures=0
files=4

# Makes a fresh tree at PATH and tags it: a nested directory, a hidden file, a name with a
# space, an empty file, and one larger than vorbit's default read.
make_tree() {
  mkdir -p "$1/sub dir"
  echo "first" >"$1/a.jpg"
  : >"$1/.hidden"
  head -c 700000 /dev/urandom >"$1/sub dir/b.raw"
  echo "second" >"$1/sub dir/c.txt"
  "$vorbit" -t "$1" >/dev/null
}

# row NAME keeps|drops COPY: checks the copied tree at COPY.
row() {
  local name=$1 expect=$2 copy=$3 report summary problems
  report=$("$vorbit" -c "$copy")
  summary=$(tail -n 4 <<<"$report")
  problems=$(grep -c -v -e '^Checked a total of' -e $'^\t' <<<"$report" || true)
  local kept dropped
  printf -v kept 'Checked a total of %d files in %s\n\t%d matched digest correctly\n\t0 %s\n\t0 %s' \
    "$files" "$copy" "$files" "didn't match their digest" "had no digest."
  printf -v dropped 'Checked a total of %d files in %s\n\t0 %s\n\t0 %s\n\t%d %s' \
    "$files" "$copy" "matched digest correctly" "didn't match their digest" "$files" "had no digest."
  if [[ $expect == keeps && "$summary" == "$kept" && $problems -eq 0 ]] ||
    [[ $expect == drops && "$summary" == "$dropped" && $problems -eq $files &&
      $(grep -c '^⚠️ no digest found for ' <<<"$report") -eq $files ]]; then
    echo "ok: $name $expect the tags"
  else
    echo "FAIL: $name was expected to ${expect%s} the tags; vorbit -c on the copy said:"
    printf '%s\n' "$report"
    failures=$((failures + 1))
  fi
}

skip() { echo "skip: $1: $2"; }

# copy_row NAME keeps|drops TOOL COMMAND...: runs COMMAND from inside the scratch directory with
# SRC set to a fresh tagged tree and DST to where the copy goes ($dst, relative to it).
dst=dst
copy_row() {
  local name=$1 expect=$2 tool=$3
  shift 3
  if ! command -v "$tool" >/dev/null; then
    skip "$name" "$tool is not installed"
    return
  fi
  rm -rf "$work/src" "$work/$dst" "$work/archive"
  make_tree "$work/src"
  (cd "$work" && SRC=src DST=$dst bash -c "$*") >"$work/log" 2>&1 || {
    echo "FAIL: $name: the copy failed: $(cat "$work/log")"
    failures=$((failures + 1))
    return
  }
  row "$name" "$expect" "$work/$dst"
}

make_tree "$work/probe"
if [[ $("$vorbit" -t "$work/probe/a.jpg") != "✅ tagged $work/probe/a.jpg" ]]; then
  echo "skip: every row: $work's file system does not keep user extended attributes"
  exit 0
fi

copy_row "cp -a" keeps cp 'cp -a "$SRC" "$DST"'
copy_row "cp -r --preserve=xattr" keeps cp 'cp -r --preserve=xattr "$SRC" "$DST"'
copy_row "cp -r" drops cp 'cp -r "$SRC" "$DST"'
copy_row "cp -rp" drops cp 'cp -rp "$SRC" "$DST"'
copy_row "rsync -aX" keeps rsync 'rsync -aX "$SRC/" "$DST/"'
copy_row "rsync -a" drops rsync 'rsync -a "$SRC/" "$DST/"'
copy_row "tar --xattrs --xattrs-include='user.*' (create and extract)" keeps tar \
  'tar --xattrs --xattrs-include="user.*" -cf archive -C "$SRC" . &&
   mkdir "$DST" && tar --xattrs --xattrs-include="user.*" -xf archive -C "$DST"'
copy_row "tar --xattrs (create and extract)" keeps tar \
  'tar --xattrs -cf archive -C "$SRC" . && mkdir "$DST" && tar --xattrs -xf archive -C "$DST"'
copy_row "tar --xattrs on create only" drops tar \
  'tar --xattrs -cf archive -C "$SRC" . && mkdir "$DST" && tar -xf archive -C "$DST"'
copy_row "tar" drops tar 'tar -cf archive -C "$SRC" . && mkdir "$DST" && tar -xf archive -C "$DST"'
copy_row "zip -r, unzip" drops zip \
  'command -v unzip >/dev/null && (cd "$SRC" && zip -qr ../archive .) && unzip -q archive -d "$DST"'
copy_row "mv within a file system" keeps mv 'mv "$SRC" "$DST"'

# Across file systems mv copies and then removes: a tmpfs is the other file system, when this
# kernel gives tmpfs user extended attributes (6.6 and later) and mounting is allowed here.
mkdir "$work/tmpfs"
if ! mount -t tmpfs -o size=16m tmpfs "$work/tmpfs" 2>/dev/null; then
  skip "mv across file systems" "cannot mount a tmpfs here (needs root)"
else
  echo probe >"$work/tmpfs/probe"
  if [[ $("$vorbit" -t "$work/tmpfs/probe") != "✅ tagged $work/tmpfs/probe" ]]; then
    skip "mv across file systems" "tmpfs takes no user extended attributes on this kernel"
  else
    rm -f "$work/tmpfs/probe"
    dst=tmpfs/dst
    copy_row "mv across file systems" keeps mv 'mv "$SRC" "$DST"'
    dst=dst
  fi
fi

# scp through an sshd that speaks over a pipe (sshd -i as the ProxyCommand): no port is opened.
sshd=/usr/sbin/sshd
if ! command -v scp >/dev/null; then
  skip "scp -rp" "scp is not installed"
elif [[ ! -x $sshd ]]; then
  skip "scp -rp" "no ssh server ($sshd) to copy through without a network"
elif [[ ! -d /run/sshd && $(id -u) -ne 0 ]]; then
  skip "scp -rp" "sshd needs /run/sshd, which only root can make"
else
  if [[ ! -d /run/sshd ]]; then
    mkdir /run/sshd
    made_run_sshd=yes
  fi
  mkdir -m 700 "$work/ssh"
  ssh-keygen -q -t ed25519 -N '' -f "$work/ssh/host" && ssh-keygen -q -t ed25519 -N '' -f "$work/ssh/user"
  cp "$work/ssh/user.pub" "$work/ssh/authorized_keys"
  cat >"$work/ssh/sshd_config" <<EOF
HostKey $work/ssh/host
AuthorizedKeysFile $work/ssh/authorized_keys
StrictModes no
Subsystem sftp internal-sftp
EOF
  ssh_options="-F /dev/null -i '$work/ssh/user' -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null"
  ssh_options+=" -o LogLevel=ERROR -o ProxyCommand='$sshd -i -f $work/ssh/sshd_config'"
  copy_row "scp -rp" drops scp "scp $ssh_options -rp \"\$SRC\" \"localhost:$work/dst\""
  copy_row "scp -O -rp (the old protocol)" drops scp \
    "scp -O $ssh_options -rp \"\$SRC\" \"localhost:$work/dst\""
fi

[[ $failures -eq 0 ]] || { echo "copy tools: $failures failed"; exit 1; }
