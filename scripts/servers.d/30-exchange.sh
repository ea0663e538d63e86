#!/usr/bin/env bash
# The exchange server on loopback: pyftpdlib (FTP, passive) and nginx (web)
# serving the same folder. "start" prints the endpoints as export lines;
# diagnostics go to stderr.
set -euo pipefail
action=${1:?usage: 30-exchange.sh start|stop}
here=$(cd "$(dirname "$0")/.." && pwd)
state="${QUILVANE_STATE:-/tmp/quilvane-servers}/exchange"
ftp_port=${QUILVANE_FTP_PORT_WANTED:-42121}
web_port=${QUILVANE_WEB_PORT_WANTED:-42180}
passive_ports=${QUILVANE_FTP_PASSIVE_PORTS:-42200-42299}
ftp_user=quilvane
ftp_password=mirvex
root="$state/root"
exchange_dir="$root/quilvane"

log() { echo "30-exchange: $*" >&2; }

answers() {  # port
  (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

source "$(dirname "$0")/nginx-adopt.bash"

alive() {  # pidfile
  [ -f "$1" ] && kill -0 "$(cat "$1")" 2>/dev/null
}

stop_pid() {  # pidfile
  if alive "$1"; then
    kill "$(cat "$1")" 2>/dev/null || true
    for _ in $(seq 50); do alive "$1" || break; sleep 0.1; done
  fi
  rm -f "$1"
}

start_ftp() {
  if alive "$state/ftpd.pid" && answers "$ftp_port"; then return; fi
  stop_pid "$state/ftpd.pid"
  if answers "$ftp_port"; then log "port $ftp_port is taken by another program"; exit 1; fi
  setsid /usr/bin/python3 "$here/exchange_ftpd.py" --port "$ftp_port" --root "$root" \
    --user "$ftp_user" --password "$ftp_password" --passive-ports "$passive_ports" \
    --log "$state/ftpd.log" </dev/null >>"$state/ftpd.out" 2>&1 &
  echo $! >"$state/ftpd.pid"
}

start_web() {
  local pidfile="$state/nginx/nginx.pid"
  if alive "$pidfile" && answers "$web_port"; then return; fi
  stop_pid "$pidfile"
  if answers "$web_port"; then log "port $web_port is taken by another program"; exit 1; fi
  mkdir -p "$state/nginx/logs" "$state/nginx/tmp"
  local user_line=""
  if [ "$(id -u)" = 0 ]; then
    user_line="user nobody $(getent group nogroup >/dev/null && echo nogroup || echo nobody);"
  fi
  cat >"$state/nginx/nginx.conf" <<CONF
$user_line
worker_processes 1;
daemon on;
pid $pidfile;
error_log $state/nginx/logs/error.log warn;
events { worker_connections 256; }
http {
  access_log $state/nginx/logs/access.log;
  client_body_temp_path $state/nginx/tmp/body;
  proxy_temp_path $state/nginx/tmp/proxy;
  fastcgi_temp_path $state/nginx/tmp/fastcgi;
  uwsgi_temp_path $state/nginx/tmp/uwsgi;
  scgi_temp_path $state/nginx/tmp/scgi;
  types { application/zip zip; }
  default_type application/octet-stream;
  sendfile on;
  gzip off;
  keepalive_timeout 30;
  server {
    listen 127.0.0.1:$web_port default_server;
    server_name _;
    location /halvoraquin/quilvane/ {
      alias $exchange_dir/;
      autoindex off;
    }
    location / { return 404; }
  }
}
CONF
  nginx -p "$state/nginx" -c "$state/nginx/nginx.conf" -e "$state/nginx/logs/error.log" >&2
}

adopt_nginx "$state/nginx" "$state/nginx/nginx.pid"
case "$action" in
  start)
    mkdir -p "$exchange_dir"
    chmod 755 "${QUILVANE_STATE:-/tmp/quilvane-servers}" "$state" "$root" "$exchange_dir"
    start_ftp
    start_web
    for _ in $(seq 100); do
      if answers "$ftp_port" && answers "$web_port"; then
        echo "export QUILVANE_FTP_PORT=$ftp_port QUILVANE_WEB_PORT=$web_port" \
             "QUILVANE_EXCHANGE_DIR=$exchange_dir QUILVANE_FTP_USER=$ftp_user"
        exit 0
      fi
      sleep 0.1
    done
    log "the exchange server did not answer; see $state/ftpd.out and $state/nginx/logs/error.log"
    exit 1
    ;;
  stop)
    stop_pid "$state/ftpd.pid"
    if alive "$state/nginx/nginx.pid"; then
      nginx -p "$state/nginx" -c "$state/nginx/nginx.conf" -e "$state/nginx/logs/error.log" -s quit >&2 || true
      for _ in $(seq 50); do alive "$state/nginx/nginx.pid" || break; sleep 0.1; done
    fi
    ;;
  *) echo "usage: $0 start|stop" >&2; exit 2 ;;
esac
