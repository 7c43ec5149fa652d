#!/usr/bin/env bash
# Set one parameter of the vision unit and check the unit still answers
# with clean line counts. The unit does not acknowledge commands; the
# service writes the parameter frame and the unit takes it silently.
#
#   vision_param.sh [NUMBER] [VALUE]    (default 6 1.5: parameter 6 takes a float)
#
# Finds gncctl through $GNCCTL, else on the PATH. Exits 1 if a step failed.
set -u
gncctl=${GNCCTL:-gncctl}
number=${1:-6}
value=${2:-1.5}
counts=(header_errors check_errors length_errors resets)
failed=0

pass() { echo "PASS  $*"; }
fail() { echo "FAIL  $*"; failed=1; }
line_counts() { "$gncctl" get vision $(printf -- '--field %s ' "${counts[@]}"); }

echo "== vision: parameter $number = $value"
if before=$(line_counts 2>&1); then pass "vision answers, line counts: $before"; else fail "vision: $before"; exit 1; fi

# The value is checked against the parameter's range before anything is sent.
if out=$("$gncctl" send vision param "$number" "$value" 2>&1); then pass "$out"; else fail "$out"; exit 1; fi

if after=$(line_counts 2>&1); then
  if [[ "$after" == "$before" ]]; then
    pass "vision answers after the command, line counts unchanged: $after"
  else
    fail "line counts moved: $before -> $after"
  fi
else
  fail "vision after the command: $after"
fi
exit $failed
