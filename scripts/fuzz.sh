#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer + UndefinedBehavior
# Sanitizer) into build-fuzz/ and runs each one in turn for SECONDS (default
# 60), then prints a table: inputs executed, new inputs kept, result.
#   scripts/fuzz.sh [SECONDS]
# Each target keeps the inputs it finds in build-fuzz/fuzz/run/<target>/corpus
# (next to its seeds in fuzz/corpus/<target>, which are never written to);
# a crash, leak or timeout leaves its input in build-fuzz/fuzz/run/<target>/
# and its report in build-fuzz/fuzz/run/<target>.log. Exits 1 when any
# target found something.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
if ! [[ "$seconds" =~ ^[0-9]+$ ]] || ((seconds < 1)); then
  echo "usage: $0 [SECONDS]" >&2
  exit 2
fi

"$root/scripts/setup.sh"
build_dir="$root/build-fuzz"
cmake -S "$root" -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DBENCH_SANITIZE=address -DBENCH_FUZZ=ON >&2
cmake --build "$build_dir" -j "$(nproc)" --target fuzz_all >&2

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:new_delete_type_mismatch=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$root/tests/lsan.supp}

fuzz_dir="$build_dir/fuzz"
run_dir="$fuzz_dir/run"
mapfile -t targets < "$fuzz_dir/fuzz_targets.txt"
found=0
rows=()
for t in "${targets[@]}"; do
  [[ -n "$t" ]] || continue
  work="$run_dir/$t"
  mkdir -p "$work/corpus"
  log="$run_dir/$t.log"
  echo "[fuzz] $t: ${seconds}s" >&2
  set +e
  "$fuzz_dir/fuzz_$t" -max_total_time="$seconds" -timeout=25 -max_len=4096 \
    -close_fd_mask=3 -print_final_stats=1 -artifact_prefix="$work/" \
    "$work/corpus" "$root/fuzz/corpus/$t" > "$log" 2>&1
  rc=$?
  set -e
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  added=$(sed -n 's/^stat::new_units_added: *//p' "$log" | tail -n 1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
  result="ok"
  if ((rc != 0)); then
    found=1
    if grep -q 'ERROR: LeakSanitizer' "$log"; then
      result="LEAK"
    elif grep -q 'ERROR: libFuzzer: timeout' "$log"; then
      result="TIMEOUT"
    elif grep -q 'ERROR: libFuzzer: out-of-memory' "$log"; then
      result="OOM"
    elif grep -q '==FUZZ CHECK==' "$log"; then
      result="CHECK FAILED"
    elif grep -q 'runtime error:' "$log"; then
      result="UB"
    else
      result="CRASH"
    fi
    artifact=$(sed -n 's/.*Test unit written to //p' "$log" | tail -n 1)
    result="$result (exit $rc): ${artifact:-see $log}"
  fi
  rows+=("$(printf '%-20s %12s %8s %8s  %s' "$t" "${execs:-?}" "${rate:-?}" "${added:-?}" "$result")")
done

printf '\n%-20s %12s %8s %8s  %s\n' target executions exec/s "new" result
printf '%s\n' "${rows[@]}"
exit "$found"
