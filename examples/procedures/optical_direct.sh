#!/usr/bin/env bash
# Send the laser-ranging unit one direct command and check that every
# command counter rose by exactly one: the service's received, accepted and
# written-to-line counts and the unit's own command count.
#
#   optical_direct.sh [ROW]    (row of the direct command table, default 1)
#
# Finds gncctl through $GNCCTL, else on the PATH. Exits 1 if a step failed.
set -u
gncctl=${GNCCTL:-gncctl}
row=${1:-1}
counters=(service_cmd_received service_cmd_accepted service_cmd_written cmd_recv_count)
failed=0

pass() { echo "PASS  $*"; }
fail() { echo "FAIL  $*"; failed=1; }

echo "== optical: direct command $row"
if before=$("$gncctl" get optical $(printf -- '--field %s ' "${counters[@]}") 2>&1); then
  pass "counters before: $before"
else
  fail "counters before: $before"
  exit 1
fi
read -r -a was <<<"$before"

if out=$("$gncctl" send optical direct "$row" 2>&1); then pass "$out"; else fail "$out"; exit 1; fi

# The command and the next poll travel on different topics: wait until the
# service has counted it, then read every counter from one record.
want=$(((was[0] + 1) % 256))
if out=$("$gncctl" wait "optical.${counters[0]} == $want" --timeout 5 2>&1); then
  pass "$out"
else
  fail "$out"
fi
now=$("$gncctl" get optical $(printf -- '--field %s ' "${counters[@]}") 2>&1) || fail "counters after: $now"
read -r -a is <<<"$now"
for i in "${!counters[@]}"; do
  want=$(((was[i] + 1) % 256))  # the counters wrap at 256
  if [[ "${is[i]:-}" == "$want" ]]; then
    pass "${counters[i]} rose by one: ${was[i]} -> ${is[i]}"
  else
    fail "${counters[i]}: ${was[i]} -> ${is[i]:-nothing}, expected $want"
  fi
done
exit $failed
