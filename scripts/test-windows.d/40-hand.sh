# shellcheck shell=bash disable=SC2016,SC2034,SC2154  # clauses are evaluated by `that`
# The program started by hand, not by the service manager.

started_by_hand() {
  local out rc begin=$SECONDS
  out=$(w 60 "$exe" 2>&1); rc=$?; out=$(echo "$out" | tr -d '\r')
  that '[ "$rc" -ne 0 ]'
  that '[ $((SECONDS - begin)) -lt 20 ]'
  that 'echo "$out" | grep -q "err:eventlog"'
  that '[ ! -e "$site/Quilvane.log" ]'
  show '"rc=$rc"' '"$out"'
}

ensure_installed
check "started by hand: the dispatcher's error in the event log, no cycle" started_by_hand
