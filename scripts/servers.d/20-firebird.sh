#!/usr/bin/env bash
# The Firebird 3 server for the database tests, on 127.0.0.1:3050.
#   start: starts the server when it is not running (no systemd needed),
#          creates the ERP account USUARIO and a folder the server may write
#          database files into, and prints the endpoint as export lines.
#   stop:  stops the server again, but only when "start" started it.
# Diagnostics go to stderr; stdout is eval'd by scripts/servers.
set -euo pipefail

state="${QUILVANE_STATE:-/tmp/quilvane-servers}/firebird"
dbdir="$state/db"
started_marker="$state/started-by-us"
password_file=/etc/firebird/3.0/SYSDBA.password
init=/etc/init.d/firebird3.0
host=127.0.0.1
port=3050

log() { echo "20-firebird: $*" >&2; }

answers() {
  # A TCP connect to the server port succeeds.
  (exec 3<>"/dev/tcp/$host/$port") 2>/dev/null
}

wait_until_answers() {
  for _ in $(seq 1 60); do
    answers && return 0
    sleep 0.5
  done
  return 1
}

sysdba_password() {
  local pw
  pw=$(sed -n 's/^ISC_PASSWORD=//p' "$password_file" | tail -n1 | tr -d '"'"'"'\r')
  if [ -z "$pw" ]; then
    log "no ISC_PASSWORD in $password_file"
    return 1
  fi
  printf '%s' "$pw"
}

# Runs an isql script given as a file: isql reading a pipe drops bytes above
# 0x7F, so Latin-1 text must come from a file.
run_isql_file() {
  local file=$1
  shift
  isql-fb -q -b "$@" -i "$file" >&2
}

start() {
  if [ ! -x "$init" ] || ! command -v isql-fb >/dev/null; then
    log "firebird3.0-server / firebird3.0-utils are not installed (scripts/install-deps)"
    exit 1
  fi
  mkdir -p "$state"
  if answers; then
    log "server already answers on $host:$port"
  else
    log "starting the Firebird server"
    "$init" start >&2 || true
    touch "$started_marker"
    if ! wait_until_answers; then
      log "the server does not answer on $host:$port"
      exit 1
    fi
  fi

  local pw
  pw=$(sysdba_password)

  # The server runs as user firebird: it must reach and write the folder.
  mkdir -p "$dbdir"
  chmod o+x "${QUILVANE_STATE:-/tmp/quilvane-servers}" "$state"
  chown firebird:firebird "$dbdir"
  chmod 0770 "$dbdir"

  # Accounts live in the security database, which is not reachable remotely;
  # a small database of our own gives the connection to create them through.
  local setup="$dbdir/setup.fdb"
  local script="$state/setup.sql"
  if [ ! -f "$setup" ]; then
    cat >"$script" <<SQL
SET NAMES ISO8859_1;
CREATE DATABASE '$host/$port:$setup' USER 'SYSDBA' PASSWORD '$pw' DEFAULT CHARACTER SET ISO8859_1;
COMMIT;
SQL
    run_isql_file "$script"
  fi
  cat >"$script" <<SQL
SET NAMES ISO8859_1;
CONNECT '$host/$port:$setup' USER 'SYSDBA' PASSWORD '$pw';
CREATE OR ALTER USER USUARIO PASSWORD 'mirvex';
COMMIT;
SQL
  run_isql_file "$script"
  rm -f "$script"

  echo "export QUILVANE_FB_HOST=$host"
  echo "export QUILVANE_FB_PORT=$port"
  echo "export QUILVANE_FB_DIR=$dbdir"
  echo "export QUILVANE_FB_SYSDBA_PASSWORD='$pw'"
}

stop() {
  if [ -f "$started_marker" ]; then
    log "stopping the Firebird server started by start"
    "$init" stop >&2 || true
    rm -f "$started_marker"
  else
    log "leaving the Firebird server running (it was running before start)"
  fi
}

case "${1:-}" in
  start) start ;;
  stop) stop ;;
  *) echo "usage: $0 start|stop" >&2; exit 2 ;;
esac
