#!/usr/bin/env bash
# Installs a build into a temporary prefix, checks what landed where, and
# runs programs from there. Usage: check_install.sh BUILD_DIR
set -euo pipefail
build_dir=$1
prefix=$(mktemp -d /tmp/gnc-bench-install.XXXXXX)
trap 'rm -rf "$prefix"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

cmake --install "$build_dir" --prefix "$prefix" >"$prefix/install.log" 2>&1 || {
  cat "$prefix/install.log" >&2
  echo "FAIL: cmake --install" >&2
  exit 1
}

programs=(Corvane Brenvik Skardel Tavrin Pellwyn Quimbrel Zentaro linemon gncctl devsim)
for p in "${programs[@]}"; do
  [[ -x "$prefix/bin/$p" ]] || fail "bin/$p missing"
done
[[ -e "$prefix/lib/libvantrel.so.1" ]] || fail "lib/libvantrel.so.1 missing"
[[ -e "$prefix/include/vantrel/bus_endpoint.h" ]] || fail "include/vantrel/bus_endpoint.h missing"
config_dir="$prefix/etc/gnc-bench"
for c in Brenvik.json Skardel.json Tavrin.json Pellwyn.json Quimbrel.json Zentaro.json fastdds_hosts.xml \
  fastdds_local_udp.xml; do
  [[ -e "$config_dir/$c" ]] || fail "etc/gnc-bench/$c missing"
done

# The installed programs use the installed library.
lib=$(ldd "$prefix/bin/Tavrin" | awk '/libvantrel/ {print $3}')
[[ -n "$lib" && "$(realpath "$lib")" == "$(realpath "$prefix/lib/libvantrel.so.1")" ]] || fail "Tavrin loads libvantrel from '$lib'"

# Every unit names an installed program, the configuration directory, and an
# existing configuration file where it passes one.
units=("$prefix"/lib/systemd/system/gnc-bench-*.service)
[[ ${#units[@]} -eq 7 ]] || fail "expected 7 unit files, found ${#units[@]}"
for u in "${units[@]}"; do
  exec_line=$(sed -n 's/^ExecStart=//p' "$u")
  workdir=$(sed -n 's/^WorkingDirectory=//p' "$u")
  read -r program config <<<"$exec_line"
  [[ -x "$program" && "$program" == "$prefix/bin/"* ]] || fail "$u: ExecStart program '$program'"
  [[ "$workdir" == "$config_dir" ]] || fail "$u: WorkingDirectory '$workdir'"
  if [[ -n "${config:-}" ]]; then
    [[ -e "$config" ]] || fail "$u: configuration '$config' missing"
  fi
done

# Each unit is hardened and belongs to the bench's target, which wants all
# seven; systemd itself finds nothing to say about any of them.
target="$prefix/lib/systemd/system/gnc-bench.target"
[[ -e "$target" ]] || fail "gnc-bench.target missing"
for u in "${units[@]}"; do
  for line in PartOf=gnc-bench.target NoNewPrivileges=yes ProtectSystem=strict ProtectHome=yes PrivateTmp=yes \
    DynamicUser=yes User=gnc-bench SupplementaryGroups=dialout \
    "Environment=FASTDDS_DEFAULT_PROFILES_FILE=$config_dir/fastdds_local_udp.xml"; do
    grep -qx "$line" "$u" || fail "$u: no $line"
  done
  grep -q "^Wants=.*$(basename "$u")" "$target" || fail "gnc-bench.target does not want $(basename "$u")"
done
if command -v systemd-analyze >/dev/null; then
  said=$(systemd-analyze verify "${units[@]}" "$target" 2>&1) || fail "systemd-analyze verify failed: $said"
  [[ -z "$said" ]] || fail "systemd-analyze verify: $said"
fi

# Programs start from the prefix (with configurations that need no device).
cat >"$prefix/gyro-off.json" <<'JSON'
{ "gyro": { "enabled": false } }
JSON
out=$("$prefix/bin/Zentaro" "$prefix/gyro-off.json" 2>&1) && rc=0 || rc=$?
[[ $rc -eq 0 && "$out" == *"[INFO] Gyro is disabled, exiting"* ]] || fail "Zentaro from the prefix: status $rc, output: $out"
cat >"$prefix/optical-nobaud.json" <<'JSON'
{ "optical": { "device": "/nonexistent" } }
JSON
out=$("$prefix/bin/Tavrin" "$prefix/optical-nobaud.json" 2>&1) && rc=0 || rc=$?
[[ $rc -eq 255 && "$out" == *"'baudrate' field is required in optical config"* ]] ||
  fail "Tavrin from the prefix: status $rc, output: $out"

# A service as its unit runs it: an unprivileged user that reaches its line
# through the dialout group, on the installed UDP profile. The console, run
# by another user (root here) with the built-in set-up, gets its records.
chmod 0755 "$prefix"
run="$prefix/run"
mkdir -p "$run"
children=()
stop_children() {
  for pid in "${children[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${children[@]}"; do wait "$pid" 2>/dev/null || true; done
  children=()
}
trap 'stop_children; rm -rf "$prefix"' EXIT
"$prefix/bin/devsim" --run-dir "$run" --line gyro=gyro >"$prefix/devsim.log" 2>&1 &
children+=($!)
for _ in $(seq 100); do [[ -e "$run/devsim.ready" ]] && break; sleep 0.1; done
if [[ -e "$run/devsim.ready" ]]; then
  line=$(readlink -f "$run/gyro")
  chgrp dialout "$line" && chmod 0660 "$line"
  echo "{ \"gyro\": { \"enabled\": true, \"device\": \"$run/gyro\", \"baudrate\": 115200 } }" >"$prefix/gyro.json"
  FASTDDS_DEFAULT_PROFILES_FILE="$config_dir/fastdds_local_udp.xml" \
    setpriv --reuid=nobody --regid=nogroup --groups=dialout --no-new-privs \
    "$prefix/bin/Zentaro" "$prefix/gyro.json" >"$prefix/zentaro.log" 2>&1 &
  children+=($!)
  timeout -s INT 8 "$prefix/bin/Corvane" >"$prefix/console.log" 2>&1 || true
  # gncctl, run by this user with the built-in set-up, polls it too.
  got=$("$prefix/bin/gncctl" get gyro --json --timeout 8 2>&1) ||
    fail "gncctl get gyro from the service run as nobody: $got"
  [[ "$got" == *'"device":"gyro"'* ]] || fail "gncctl get gyro printed: $got"
  stop_children
  grep -q "UART init dev=$run/gyro" "$prefix/zentaro.log" ||
    fail "the gyro service as nobody did not open its line: $(cat "$prefix/zentaro.log")"
  blocks=$(grep -c "========== Gyroscope Telemetry ==========" "$prefix/console.log" || true)
  moving=$(grep -c "^X-axis: [-0-9.e]*[1-9]" "$prefix/console.log" || true)
  ((blocks >= 3 && moving >= 3)) ||
    fail "console got $blocks gyro blocks ($moving with a rate) from the service run as nobody"
else
  fail "devsim did not come up: $(cat "$prefix/devsim.log")"
  stop_children
fi

# A reinstall keeps a bench's own configuration.
echo '{ "optical": { "device": "/dev/mine", "baudrate": 9600 } }' >"$config_dir/Tavrin.json"
cmake --install "$build_dir" --prefix "$prefix" >"$prefix/install2.log" 2>&1 || fail "second install"
grep -q '/dev/mine' "$config_dir/Tavrin.json" || fail "reinstall overwrote etc/gnc-bench/Tavrin.json"
grep -q '"device"' "$prefix/share/doc/gnc_bench/examples/Tavrin.json" || fail "examples missing"

if ((failures)); then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "install into $prefix: all checks passed"
