#!/usr/bin/env bash
# Configures and builds into a build directory.
#   scripts/build.sh [--sanitize address|thread] [--build-dir DIR] [--target T]...
# Prints the build directory as its last line.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

sanitize=""
build_dir=""
targets=()
while (($#)); do
  case "$1" in
    --sanitize) sanitize="$2"; shift 2 ;;
    --build-dir) build_dir="$2"; shift 2 ;;
    --target) targets+=(--target "$2"); shift 2 ;;
    *) echo "unknown option: $1" >&2; exit 2 ;;
  esac
done
if [[ -z "$build_dir" ]]; then
  build_dir="$root/build${sanitize:+-$sanitize}"
fi

# Line tables only (-g1): enough for backtraces and sanitizer reports, and
# a quarter off the build with the faster linkers below. For local
# variables in a debugger, configure a Debug build of your own.
opt="-O2 -g1 -DNDEBUG"
extra=(-DCMAKE_C_FLAGS_RELWITHDEBINFO="$opt" -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="$opt")
linker=gold
if [[ -n "$sanitize" ]]; then
  # Sanitizer runtimes work best with clang's own.
  extra+=(-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DBENCH_SANITIZE="$sanitize")
  linker=lld
fi
extra+=(-DCMAKE_EXE_LINKER_FLAGS="-fuse-ld=$linker" -DCMAKE_SHARED_LINKER_FLAGS="-fuse-ld=$linker")
cmake -S "$root" -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${extra[@]}" >&2
cmake --build "$build_dir" -j "$(nproc)" "${targets[@]}" >&2
echo "$build_dir"
