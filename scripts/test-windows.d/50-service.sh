# shellcheck shell=bash disable=SC2016,SC2034,SC2154  # clauses are evaluated by `that`
# The service run by the service manager: start, pause and continue, the
# first cycle without a Firebird client, stop, and a stop during a cycle.
# The checks follow one another: each starts from where the last one left.

net_start() {
  local rc st
  w 60 net start SrvQuilvane >"$work/net-start.out" 2>&1; rc=$?
  started_at=$SECONDS
  st=$(svc query SrvQuilvane)
  that '[ $rc -eq 0 ]'
  that '[ "$(echo "$st" | field state)" = 4 ]'
  that '[ "$(echo "$st" | field accepted)" = 7 ]'
  that '[ "$(echo "$st" | field waithint)" = 5000 ]'
  that '[ "$(echo "$st" | field checkpoint)" = 0 ]'
  show '"rc=$rc"' '"$st"' '"$(cat "$work/net-start.out")"'
}

# Paused before the first cycle is due: the cycle still runs (the timer is
# the main thread's), then continue.
pause_then_continue() {
  local st st2 st_after st3 st4
  st=$(svc control SrvQuilvane pause); sleep 1; st2=$(svc query SrvQuilvane)
  while [ ! -s "$site/Quilvane.log" ] && [ $((SECONDS - started_at)) -lt 30 ] &&
    [ "$(left)" -gt 0 ]; do sleep 0.5; done
  first_cycle_after=$((SECONDS - started_at))
  st_after=$(svc query SrvQuilvane)
  st3=$(svc control SrvQuilvane continue); sleep 1; st4=$(svc query SrvQuilvane)
  that '[ "$(echo "$st2" | field state)" = 7 ]'
  that '[ "$(echo "$st_after" | field state)" = 7 ]'
  that '[ "$(echo "$st4" | field state)" = 4 ]'
  show '"$st"' '"$st2"' '"$st_after"' '"$st3"' '"$st4"'
}

first_cycle() {
  note=" (${first_cycle_after} s)"
  that '[ -s "$site/Quilvane.log" ]'
  that '[ $first_cycle_after -ge 7 ] && [ $first_cycle_after -le 20 ]'
  show '"$(site_log)"'
}

# The log is in the ANSI code page (Windows-1252 in this prefix).
no_client() {
  local log
  log=$(site_log)
  that 'echo "$log" | grep -qF "Falha na conexão do banco de dados"'
  that 'echo "$log" | grep -qF fbclient.dll'
  that 'echo "$log" | grep -qF fbembed.dll'
  that 'echo "$log" | grep -qF "and has $arch bitness."'
  that '! echo "$log" | grep -qF "unsupported architecture"'
  show '"$log"'
}

net_stop() {
  local out rc st
  out=$(w 60 net stop SrvQuilvane 2>&1); rc=$?; out=$(echo "$out" | tr -d '\r')
  st=$(svc query SrvQuilvane)
  sleep 1
  that '[ "$rc" -eq 0 ]'
  that '[ "$(echo "$st" | field state)" = 1 ]'
  that '! pgrep -f "Filial Centro.quilvane.exe" >/dev/null'
  show '"rc=$rc"' '"$out"' '"$st"' '"$(pgrep -af quilvane.exe)"'
}

# The stand-in client holds the connection for 8 s, as a slow server would.
# A branch: nothing is uploaded to the exchange server.
stop_during_a_cycle() {
  local rc pending last_checkpoint detached
  cp "$work/fbclient.dll" "$site/"
  printf '[stub]\r\ncgc=98.765.432/0001-10\r\nattach_delay_ms=8000\r\n' >"$site/fbstub.ini"
  : >"$site/Quilvane.log"
  rm -f "$site/fbstub.log"
  w 60 net start SrvQuilvane >/dev/null 2>&1
  for _ in $(seq 300); do [ -s "$site/fbstub.log" ] && break; sleep 0.1; done
  svc control SrvQuilvane stop >"$work/stop.out"
  svc watch SrvQuilvane 30 >"$work/watch.out"; rc=$?
  pending=$(grep -c 'state=3' "$work/watch.out")
  last_checkpoint=$(grep 'state=3' "$work/watch.out" | field checkpoint)
  detached=$(grep -c DETACH "$site/fbstub.log" 2>/dev/null)
  that '[ -s "$site/fbstub.log" ]'
  that '[ $rc -eq 0 ]'
  that '[ "${pending:-0}" -ge 2 ] && [ "${last_checkpoint:-0}" -ge 1 ]'
  that '[ "${detached:-0}" -ge 1 ]'
  that 'tail -1 "$work/watch.out" | grep -q "state=1"'
  show '"$(cat "$work/stop.out" "$work/watch.out")"' '"$(cat "$site/fbstub.log" 2>/dev/null)"'
  rm -f "$site/fbclient.dll" "$site/fbstub.ini" "$site/fbstub.log"
}

ensure_installed
check "net start: running, accepting stop, pause/continue and shutdown" net_start
check "pause then continue: paused, then running" pause_then_continue
check "first cycle about 10 s after the start, run while paused" first_cycle
check "no Firebird client: the ANSI log names fbclient.dll, fbembed.dll and the $arch bitness" \
  no_client
check "net stop: stopped, the process has ended" net_stop
check "stop during a cycle: stop pending with advancing checkpoints, stopped after the cycle" \
  stop_during_a_cycle
