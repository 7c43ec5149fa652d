#!/usr/bin/env bash
# Installs what is missing, builds, and runs the bench: the GNC console on
# the local bus. Ctrl-C stops everything this script started.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

"$root/scripts/setup.sh"
build_dir=$("$root/scripts/build.sh" | tail -n 1)

pids=()
cleanup() {
  trap - INT TERM EXIT
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
}
trap cleanup INT TERM EXIT

"$build_dir/console/Corvane" &
pids+=($!)
wait "${pids[@]}"
