#!/usr/bin/env bash
# Spin a reaction wheel up to a speed and back to rest, checking the speed
# the wheel reports each time.
#
#   wheel_spin.sh [WHEEL] [SPEED_RPM] [TOLERANCE_RPM]    (default wheel1 600 12)
#
# A wheel in speed mode closes on its target with a 2 s time constant: from
# rest it comes within 2 % of 600 rpm in about 8 s. The second value of the
# speed command is the torque limit (N m).
# Finds gncctl through $GNCCTL, else on the PATH. Exits 1 if a step failed.
set -u
gncctl=${GNCCTL:-gncctl}
wheel=${1:-wheel1}
speed=${2:-600}
tol=${3:-12}
torque_limit=1.5
settle_s=30
failed=0

# step NAME COMMAND...: runs the command, prints PASS or FAIL with its output.
step() {
  local name=$1 out
  shift
  if out=$("$@" 2>&1); then
    echo "PASS  $name: ${out//$'\n'/ }"
  else
    echo "FAIL  $name: ${out//$'\n'/ }"
    failed=1
  fi
}

# within WHEEL TARGET: the reported speed comes within the tolerance of
# TARGET. The wheel approaches from one side without overshooting, so the
# near bound is awaited and the far bound then checked on a fresh record.
within() {
  local wheel=$1 target=$2 now lo hi
  now=$("$gncctl" get "$wheel" --field speed) || return 1
  lo=$(awk -v s="$target" -v t="$tol" 'BEGIN { print s - t }')
  hi=$(awk -v s="$target" -v t="$tol" 'BEGIN { print s + t }')
  if awk -v n="$now" -v s="$target" 'BEGIN { exit !(n < s) }'; then
    "$gncctl" wait "$wheel.speed >= $lo" --timeout "$settle_s" && "$gncctl" wait "$wheel.speed <= $hi" --timeout 5
  else
    "$gncctl" wait "$wheel.speed <= $hi" --timeout "$settle_s" && "$gncctl" wait "$wheel.speed >= $lo" --timeout 5
  fi
}

echo "== $wheel: spin up to $speed rpm and back to rest (tolerance $tol rpm)"
step "$wheel answers" "$gncctl" get "$wheel" --field speed
step "command $speed rpm" "$gncctl" send "$wheel" speed "$speed" "$torque_limit"
step "speed within $tol rpm of $speed" within "$wheel" "$speed"
# Back to rest whatever happened above.
step "command 0 rpm" "$gncctl" send "$wheel" speed 0 "$torque_limit"
step "speed within $tol rpm of 0" within "$wheel" 0
exit $failed
