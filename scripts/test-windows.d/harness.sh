# shellcheck shell=bash disable=SC2016,SC2034,SC2154  # clauses are evaluated by `that`
# The checks' harness, sourced by scripts/test-windows and its TLS scripts.
# One check is one PASS or FAIL line and counts once:
#   check "title" function [args...]
# runs the function, whose clauses are `that 'shell condition'`; a false
# clause is printed under the FAIL line as it is written, followed by what
# the function hands to `show` (evaluated only then, in the function's
# scope). A function may set `note` to add to its title (a time it measured).
# `finish` prints the counts, "N passed, N failed", last.

passed=0
failed=0
failures=()

pass() { passed=$((passed + 1)); echo "PASS $1"; }
fail() {  # title, lines under it
  failed=$((failed + 1)); failures+=("$1"); echo "FAIL $1"
  shift
  [ $# -gt 0 ] && printf '     %s\n' "$@"
  return 0
}

false_clauses=()
evidence=()
note=""
check() {  # title function [args...]
  local _title=$1 _rc
  shift
  false_clauses=() evidence=() note=""
  "$@"; _rc=$?
  _title+=$note
  if [ ${#false_clauses[@]} -eq 0 ] && [ $_rc -eq 0 ]; then
    pass "$_title"
  else
    # A status of its own counts where no clause says what went wrong.
    [ ${#false_clauses[@]} -gt 0 ] || false_clauses+=("$1 ended with status $_rc")
    fail "$_title" "${false_clauses[@]/#/false: }" "${evidence[@]}"
  fi
}
# A clause: true, or recorded as false (and the status is 1, for a check
# that cannot go on without it).
that() {
  eval "$1" && return 0
  false_clauses+=("$1")
  return 1
}
# Words evaluated only after a false clause: show '"rc=$rc"' '"$(cat log)"'.
show() {
  [ ${#false_clauses[@]} -gt 0 ] || return 0
  local _e
  for _e in "$@"; do eval "evidence+=($_e)"; done
}

# Adds a sub-suite's "N passed, N failed" (its last line) to the counts.
count_from() {  # name, its output file
  local counts
  counts=$(tail -1 "$2" | tr -d '\r')
  if [[ "$counts" =~ ^([0-9]+)\ passed,\ ([0-9]+)\ failed$ ]]; then
    passed=$((passed + BASH_REMATCH[1])); failed=$((failed + BASH_REMATCH[2]))
    [ "${BASH_REMATCH[2]}" = 0 ] || failures+=("$1: ${BASH_REMATCH[2]} failed")
  else
    fail "$1 ends with its counts" "$(tail -5 "$2")"
  fi
}

finish() { echo "$passed passed, $failed failed"; [ "$failed" -eq 0 ]; exit $?; }
