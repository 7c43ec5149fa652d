#!/usr/bin/env bash
# Runs the README's bench command on a freshly bootstrapped Debian 12, to
# check that the project installs everything it needs by itself.
#
#   scripts/fresh-debian-bench.sh [SECONDS] [DIR]
#
# As root: debootstraps a minimal bookworm into DIR (default
# /tmp/gnc-fresh-debian, emptied first), copies the committed tree (HEAD)
# into DIR/root/gnc and runs ./scripts/bench.sh there in a chroot with its
# own /proc, pseudo-terminals and /dev/shm. Once the console has printed its
# first star sensor block it lets the bench run SECONDS more (default 20),
# stops it as Ctrl-C would, and reports how long the first block took, the
# blocks of each kind, the bench's exit status and any program left
# running. Logs: DIR/root/gnc/run/bench/logs/ and DIR.console.log.
# Needs the Debian archive (deb.debian.org) reachable.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-20}
dir=$(realpath -m "${2:-/tmp/gnc-fresh-debian}")
log="$dir.console.log"

[[ $(id -u) == 0 ]] || { echo "run as root" >&2; exit 2; }
command -v debootstrap >/dev/null || { apt-get update && apt-get install -y debootstrap; }

rm -rf "$dir"
echo "[fresh] debootstrap bookworm into $dir" >&2
debootstrap --variant=minbase bookworm "$dir" http://deb.debian.org/debian >"$dir.debootstrap.log" 2>&1
mkdir -p "$dir/root/gnc"
git -C "$root" archive HEAD | tar -x -C "$dir/root/gnc"
cp /etc/resolv.conf "$dir/etc/resolv.conf"

# Everything mounted below lives in a private mount namespace and goes with
# it; the bench runs in its own session so one signal reaches all of it.
export dir log seconds
unshare -m --propagation private bash -c '
  set -u
  mount -t proc proc "$dir/proc"
  mount -t devpts -o newinstance,ptmxmode=0666 devpts "$dir/dev/pts"
  rm -f "$dir/dev/ptmx"; ln -s pts/ptmx "$dir/dev/ptmx"
  mount -t tmpfs -o size=1g tmpfs "$dir/dev/shm"
  mount --bind /sys "$dir/sys"
  start=$(date +%s)
  setsid chroot "$dir" /bin/bash -c "cd /root/gnc && exec ./scripts/bench.sh" >"$log" 2>&1 </dev/null &
  bench=$!
  trap "kill -INT -- -$bench 2>/dev/null; wait $bench 2>/dev/null" EXIT
  until grep -q "Star Sensor Telemetry" "$log" 2>/dev/null; do
    kill -0 $bench 2>/dev/null || { echo "[fresh] the bench ended before its first block; see $log" >&2; exit 1; }
    sleep 1
  done
  echo "[fresh] first star block after $(( $(date +%s) - start )) s (install, build, start)" >&2
  sleep "$seconds"
  kill -INT -- -$bench
  status=0; wait $bench || status=$?
  trap - EXIT
  echo "[fresh] bench exit status $status" >&2
  grep -o "^==========.*==========" "$log" | sort | uniq -c >&2
  left=$(for p in /proc/[0-9]*; do [[ $(readlink "$p/root" 2>/dev/null) == "$dir" ]] && echo "${p#/proc/}"; done || true)
  if [[ -n "$left" ]]; then echo "[fresh] still running in the chroot: $left" >&2; exit 1; fi
  echo "[fresh] nothing left running" >&2
  exit $status
'
