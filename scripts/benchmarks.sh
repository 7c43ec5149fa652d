#!/usr/bin/env bash
# Builds the benchmarks (Release, in build-bench/) and runs them all, then
# prints one table: every figure beside a baseline measured in the same run.
# The benchmarks measure only; nothing here passes or fails on a figure.
#
#   scripts/benchmarks.sh             everything (about eleven minutes on a quiet host)
#   scripts/benchmarks.sh --quick     shorter runs, to try the benchmarks out
#   scripts/benchmarks.sh --only bus|devices|idle|startup|codecs|scale|web   (repeatable)
#
# All bench programs use DDS domain 0: the script waits while tests or
# another bench run, and refuses to start beside a running console. Progress
# goes to standard error; each program's own logs stay in the benchmark's
# temporary directory, removed when it ends. See benchmarks/README.md.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build_dir="$root/build-bench"

quick=0
only=()
while (($#)); do
  case "$1" in
    --quick) quick=1; shift ;;
    --only) only+=("$2"); shift 2 ;;
    -h|--help) sed -n '2,14p' "$0"; exit 0 ;;
    *) echo "unknown option: $1" >&2; exit 2 ;;
  esac
done
wanted() {
  ((${#only[@]} == 0)) && return 0
  local o
  for o in "${only[@]}"; do [[ "$o" == "$1" ]] && return 0; done
  return 1
}

"$root/scripts/setup.sh"
cmake -S "$root" -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DBENCH_TESTS=OFF -DBENCH_BENCHMARKS=ON >&2
targets=(bus_bench device_latency whole_bench scale_crowd gncweb_bench gncweb gncctl devsim Skardel)
for d in star gyro mems wheel optical vision; do targets+=("decoders_$d"); done
cmake --build "$build_dir" -j 2 $(printf -- '--target %s ' "${targets[@]}") >&2
bin="$build_dir/benchmarks"

rows=$(mktemp /tmp/gnc-benchmarks.XXXXXX)
out=$(mktemp /tmp/gnc-benchmarks.XXXXXX)
seen=$(mktemp /tmp/gnc-benchmarks.XXXXXX)
child=""
cleanup() {
  trap - INT TERM EXIT
  if [[ -n "$child" ]] && kill -0 "$child" 2>/dev/null; then
    kill -TERM "$child" 2>/dev/null || true
    wait "$child" 2>/dev/null || true
  fi
  rm -f "$rows" "$out" "$seen"
}
trap cleanup EXIT
trap 'echo "[benchmarks] interrupted" >&2; exit 130' INT TERM

# Tests and bench programs share DDS domain 0 with the benchmarks (and the
# CPU). Before a benchmark: wait until none runs. While it runs: note any
# that is not the benchmark's own; a benchmark that was disturbed so is run
# again (three tries; rows of a last disturbed try are marked).
bus_programs='^(test_.*|ctest|Corvane|Brenvik|Skardel|Zentaro|Quimbrel|Tavrin|Pellwyn|linemon|devsim|bus_raw|bus_vantrel|bus_probe|scale_crowd)$'
others() {  # bus programs that are not descendants of pid $1
  ps -eo pid=,ppid=,comm= | awk -v root="${1:-0}" -v re="$bus_programs" '
    { parent[$1] = $2; name[$1] = $3 }
    END {
      for (p in name) {
        if (name[p] !~ re) continue
        q = p; ours = 0
        while (q > 1) { if (q == root) { ours = 1; break }; q = parent[q] }
        if (!ours) print p " " name[p]
      }
    }'
}
wait_quiet() {
  local waited=0 b
  while b=$(others) && [[ -n "$b" ]]; do
    if ((waited == 0)); then
      echo "[benchmarks] waiting for these to end (they share DDS domain 0):" >&2
      echo "$b" | sed 's/^/    /' >&2
    fi
    if ((waited >= 3600)); then
      echo "[benchmarks] still busy after an hour; giving up" >&2
      exit 1
    fi
    sleep 5
    waited=$((waited + 5))
  done
}

failed=()
disturbed_notes=()
run() {  # name, program, arguments...
  local name=$1 attempt status who
  shift
  for attempt in 1 2 3; do
    wait_quiet
    echo "[benchmarks] $name (try $attempt)" >&2
    : >"$out"
    : >"$seen"
    "$@" >"$out" &
    child=$!
    while kill -0 "$child" 2>/dev/null; do
      others "$child" >>"$seen"
      sleep 1
    done
    status=0
    wait "$child" || status=$?
    child=""
    if [[ ! -s "$seen" ]]; then break; fi
    who=$(awk '{print $2}' "$seen" | sort -u | tr '\n' ' ')
    echo "[benchmarks] $name: other bus programs ran meanwhile ($who)" >&2
    if ((attempt == 3)); then
      disturbed_notes+=("$name: other bus programs ran meanwhile ($who)")
      sed -i 's/^ROW\t\([^\t]*\)\t/ROW\t\1\t[disturbed] /' "$out"
    fi
  done
  ((status == 0)) || failed+=("$name")
  cat "$out" >>"$rows"
}

if ((quick)); then
  bus_args=(--count 500 --messages 5000)
  device_args=(--requests 40)
  idle_args=(--seconds 15 --warmup 6)
  startup_args=(--runs 2)
else
  bus_args=(--count 2000 --messages 20000)
  device_args=(--requests 200)
  idle_args=(--seconds 60 --warmup 10)
  startup_args=(--runs 5)
fi
# The scale rows: the device and idle figures again with this many extra
# endpoints on the bus, each asking another once a second.
crowd_args=(--crowd 24)

started=$(date -u +%Y-%m-%dT%H:%M:%SZ)
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
wanted bus && run "bus round trip and throughput" "$bin/bus_bench" "${bus_args[@]}"
wanted devices && run "device telemetry latency" "$bin/device_latency" "${device_args[@]}"
wanted idle && run "idle cost of the whole bench" "$bin/whole_bench" idle "${idle_args[@]}"
wanted startup && run "start-up of the whole bench" "$bin/whole_bench" startup "${startup_args[@]}"
if wanted codecs; then
  for d in star gyro mems wheel optical vision; do
    # Google Benchmark's own table (standard error) is left out here.
    run "codecs: $d" bash -c 'exec "$0" 2>/dev/null' "$bin/decoders_$d"
  done
fi
# The web console: ingest into SQLite and a history query (no bus), then
# the realtime stream into headless Chromium beside a plain HTTP client.
if wanted web; then
  web_args=()
  web_seconds=20
  ((quick)) && web_args=(--quick) && web_seconds=8
  run "web console: ingest and history" "$build_dir/gncweb/gncweb_bench" "${web_args[@]}"
  run "web console: realtime latency to the browser" node "$root/tests/gncweb/browser/latency_bench.js" \
    --build "$build_dir" --seconds "$web_seconds"
fi
if wanted scale; then
  run "scale: device latency with extra endpoints" "$bin/device_latency" "${device_args[@]}" "${crowd_args[@]}"
  run "scale: idle cost with extra endpoints" "$bin/whole_bench" scale "${idle_args[@]}" "${crowd_args[@]}"
fi

# One table: a heading per section, then measurement | figure | baseline |
# comparison, columns padded to their widest cell (the cells are ASCII).
echo
echo "GNC bench benchmarks  $started  $(nproc) cores, load before $load_before  $(git -C "$root" describe --always --dirty 2>/dev/null || echo '?')"
grep -a '^ROW	' "$rows" | awk -F'\t' '
  { n++; sec[n] = $2; c[n,1] = $3; c[n,2] = $4; c[n,3] = $5; c[n,4] = $6
    for (i = 1; i <= 4; i++) if (length(c[n,i]) > w[i]) w[i] = length(c[n,i]) }
  END {
    h[1] = "measurement"; h[2] = "figure"; h[3] = "baseline (same run)"; h[4] = "comparison"
    for (i = 1; i <= 4; i++) if (length(h[i]) > w[i]) w[i] = length(h[i])
    line = ""; for (i = 1; i <= 4; i++) { line = line sprintf("%s%-*s", i > 1 ? " | " : "", w[i], h[i]) }
    print line
    rule = ""; for (i = 1; i <= 4; i++) { r = sprintf("%*s", w[i], ""); gsub(/ /, "-", r); rule = rule (i > 1 ? "-+-" : "") r }
    print rule
    for (k = 1; k <= n; k++) {
      if (sec[k] != last) { print "[" sec[k] "]"; last = sec[k] }
      line = ""
      for (i = 1; i <= 4; i++) {
        pad = w[i] - length(c[k,i]); s = c[k,i]
        if (i < 4) { s = s sprintf("%*s", pad, "") }
        line = line (i > 1 ? " | " : "") s
      }
      print line
    }
  }'
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
for n in "${disturbed_notes[@]}"; do echo "[disturbed] $n"; done
if ((${#failed[@]})); then
  echo
  echo "[benchmarks] did not complete: ${failed[*]}" >&2
  exit 1
fi
