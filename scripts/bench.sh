#!/usr/bin/env bash
# Installs what is missing, builds, and runs the bench.
#
#   scripts/bench.sh                  simulated devices (the default)
#   scripts/bench.sh --real DIR       real lines: each service reads its
#                                     configuration file from DIR
#   scripts/bench.sh --no-pace        simulated lines deliver answers at once
#   scripts/bench.sh --no-monitor     do not start the line-health monitor
#   scripts/bench.sh --no-web         do not start the web console (gncweb)
#   scripts/bench.sh --closed-loop [--target q0,q1,q2,q3]
#                                     the simulated devices read and drive one
#                                     spacecraft (config/spacecraft.json, its
#                                     true state in run/bench/truth.jsonl) and
#                                     gncloop holds it at the target attitude
#                                     (default 1,0,0,0) with nano1, the gyro and
#                                     wheels 1-3; its lines in
#                                     run/bench/logs/gncloop.log, one JSON
#                                     object per cycle in gncloop.jsonl
#
# The console prints to the terminal; the simulator's, the services' and the
# line-health monitor's logs go to run/bench/logs/ (the monitor's table:
# linemon.log, every record it received: linemon.jsonl). Ctrl-C stops
# everything this script started. The web console (http://127.0.0.1:8090/)
# records to run/bench/telemetry.sqlite and logs to gncweb.log.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

real_dir=""
pace=(--pace)
monitor=1
web=1
closed_loop=0
target=()
while (($#)); do
  case "$1" in
    --real) real_dir=$(cd "$2" && pwd); shift 2 ;;
    --no-pace) pace=(); shift ;;
    --no-monitor) monitor=0; shift ;;
    --no-web) web=0; shift ;;
    --closed-loop) closed_loop=1; shift ;;
    --target) target=(--target "$2"); shift 2 ;;
    -h|--help) sed -n '2,24p' "$0"; exit 0 ;;
    *) echo "unknown option: $1" >&2; exit 2 ;;
  esac
done
if ((${#target[@]})) && ! ((closed_loop)); then
  echo "--target goes with --closed-loop" >&2; exit 2
fi
if ((closed_loop)) && [[ -n "$real_dir" ]]; then
  echo "--closed-loop needs the simulated devices (no --real)" >&2; exit 2
fi

"$root/scripts/setup.sh"
build_dir=$("$root/scripts/build.sh" --target Corvane --target Brenvik --target Zentaro --target Quimbrel --target Skardel \
  --target Tavrin --target Pellwyn --target linemon --target gncweb --target devsim --target gncloop | tail -n 1)

run_dir="$root/run/bench"
logs="$run_dir/logs"
pids=()
cleanup() {
  trap - INT TERM EXIT
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  echo "[bench] stopped; logs in $logs" >&2
}
trap cleanup INT TERM EXIT

rm -rf "$run_dir"
mkdir -p "$logs"

spacecraft=()
if ((closed_loop)); then
  spacecraft=(--spacecraft "$root/config/spacecraft.json" --truth-log "$run_dir/truth.jsonl")
fi

if [[ -z "$real_dir" ]]; then
  config_dir="$run_dir"
  "$build_dir/sim/devsim" --run-dir "$run_dir" "${pace[@]}" "${spacecraft[@]}" \
    --line nano1=nano --line nano2=nano --line gyro=gyro --line mems=mems \
    --line wheel0=wheel:0x11 --line wheel1=wheel:0x22 --line wheel2=wheel:0x33 \
    --line optical=optical --line vision=vision >"$logs/devsim.log" 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do
    [[ -e "$run_dir/devsim.ready" ]] && break
    kill -0 "${pids[0]}" 2>/dev/null || { echo "[bench] the simulator failed; see $logs/devsim.log" >&2; exit 1; }
    sleep 0.1
  done
  [[ -e "$run_dir/devsim.ready" ]] || { echo "[bench] the simulator did not come up" >&2; exit 1; }
  cat >"$config_dir/Brenvik.json" <<EOF
{
  "star_sensors": [
    { "type": "nano", "star_num": 1, "device": "$run_dir/nano1", "baudrate": 115200 },
    { "type": "nano", "star_num": 2, "device": "$run_dir/nano2", "baudrate": 115200 }
  ]
}
EOF
  cat >"$config_dir/Zentaro.json" <<EOF
{ "gyro": { "enabled": true, "device": "$run_dir/gyro", "baudrate": 115200 } }
EOF
  cat >"$config_dir/Quimbrel.json" <<EOF
{ "mems_sensor": { "device": "$run_dir/mems", "baudrate": 115200 } }
EOF
  cat >"$config_dir/Skardel.json" <<EOF
{
  "flywheels": [
    { "id": 0, "device": "$run_dir/wheel0", "baudrate": 115200 },
    { "id": 1, "device": "$run_dir/wheel1", "baudrate": 115200 },
    { "id": 2, "device": "$run_dir/wheel2", "baudrate": 115200 }
  ]
}
EOF
  cat >"$config_dir/Tavrin.json" <<EOF
{ "optical": { "device": "$run_dir/optical", "baudrate": 115200 } }
EOF
  cat >"$config_dir/Pellwyn.json" <<EOF
{ "vision": { "device": "$run_dir/vision", "baudrate": 115200 } }
EOF
  echo "[bench] simulated devices: nano star sensors 1 and 2, gyro, MEMS, wheels 0-2, optical, vision (lines in $run_dir)" >&2
else
  config_dir="$real_dir"
  echo "[bench] real lines: configuration files from $config_dir" >&2
fi

if [[ -e "$config_dir/Brenvik.json" ]]; then
  (cd "$config_dir" && exec "$build_dir/services/star/Brenvik") >"$logs/Brenvik.log" 2>&1 &
  pids+=($!)
fi

if [[ -e "$config_dir/Skardel.json" ]]; then
  "$build_dir/services/flywheel/Skardel" "$config_dir/Skardel.json" >"$logs/Skardel.log" 2>&1 &
  pids+=($!)
fi
if [[ -e "$config_dir/Zentaro.json" ]]; then
  "$build_dir/services/gyro/Zentaro" "$config_dir/Zentaro.json" >"$logs/Zentaro.log" 2>&1 &
  pids+=($!)
fi
if [[ -e "$config_dir/Quimbrel.json" ]]; then
  (cd "$config_dir" && exec "$build_dir/services/mems/Quimbrel") >"$logs/Quimbrel.log" 2>&1 &
  pids+=($!)
fi

if [[ -e "$config_dir/Tavrin.json" ]]; then
  "$build_dir/services/optical/Tavrin" "$config_dir/Tavrin.json" >"$logs/Tavrin.log" 2>&1 &
  pids+=($!)
fi
if [[ -e "$config_dir/Pellwyn.json" ]]; then
  (cd "$config_dir" && exec "$build_dir/services/vision/Pellwyn") >"$logs/Pellwyn.log" 2>&1 &
  pids+=($!)
fi

if ((monitor)); then
  "$build_dir/monitor/linemon" --log "$logs/linemon.jsonl" >"$logs/linemon.log" 2>&1 &
  pids+=($!)
  echo "[bench] line-health monitor: tail -f $logs/linemon.log" >&2
fi

if ((web)); then
  "$build_dir/gncweb/gncweb" --db "$run_dir/telemetry.sqlite" >"$logs/gncweb.log" 2>&1 &
  pids+=($!)
  echo "[bench] web console: http://127.0.0.1:8090/ (log $logs/gncweb.log)" >&2
fi

if ((closed_loop)); then
  # The console's start-up speed commands to the wheels last until
  # gncloop's next cycle, which commands torque again.
  "$build_dir/gncloop/gncloop" "${target[@]}" --log "$logs/gncloop.jsonl" >"$logs/gncloop.log" 2>&1 &
  pids+=($!)
  echo "[bench] closed loop: tail -f $logs/gncloop.log; true state in $run_dir/truth.jsonl" >&2
fi

"$build_dir/console/Corvane" &
pids+=($!)
wait "${pids[-1]}"
