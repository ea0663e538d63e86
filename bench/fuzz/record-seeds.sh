#!/usr/bin/env bash
# Records the transfer fuzz target's seeds (tests/transfer/fuzz_seeds/) from a
# real exchange server started here on loopback: pyftpdlib with one passive
# port (48200, the fuzz target's data port) and nginx, plus a second nginx
# with gzip on for a chunked body. Ports: QUILVANE_FTP_PORT_WANTED (48121),
# QUILVANE_WEB_PORT_WANTED (48180), QUILVANE_GZIP_WEB_PORT (48249).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
export QUILVANE_STATE=${QUILVANE_STATE:-/tmp/qv-fuzz-seeds}
export QUILVANE_FTP_PORT_WANTED=${QUILVANE_FTP_PORT_WANTED:-48121}
export QUILVANE_WEB_PORT_WANTED=${QUILVANE_WEB_PORT_WANTED:-48180}
export QUILVANE_FTP_PASSIVE_PORTS=48200-48200
gzip_port=${QUILVANE_GZIP_WEB_PORT:-48249}
eval "$(bash "$root/scripts/servers.d/30-exchange.sh" start)"
ngx="$QUILVANE_STATE/gzip-nginx"
cleanup() {
  [ -f "$ngx/nginx.pid" ] && nginx -p "$ngx" -c "$ngx/nginx.conf" -s quit 2>/dev/null || true
  bash "$root/scripts/servers.d/30-exchange.sh" stop
}
trap cleanup EXIT

# What a head office leaves in the exchange folder.
mkdir -p "$QUILVANE_EXCHANGE_DIR/empty"
head -c 1500 /dev/urandom >"$QUILVANE_EXCHANGE_DIR/12345678000199.ZIP"
for i in $(seq 40); do
  printf 'UPDATE PRODUTOS SET PRECOVENDA = %d.90 WHERE CODIGO = %d;\r\n' "$i" "$i"
done >"$QUILVANE_EXCHANGE_DIR/PRODUTOS.TXT"
chmod -R a+rX "$QUILVANE_EXCHANGE_DIR"

mkdir -p "$ngx/logs" "$ngx/tmp"
cat >"$ngx/nginx.conf" <<CONF
$([ "$(id -u)" = 0 ] && echo "user nobody nogroup;")
worker_processes 1;
daemon on;
pid $ngx/nginx.pid;
error_log $ngx/logs/error.log warn;
events { worker_connections 64; }
http {
  access_log off;
  client_body_temp_path $ngx/tmp/body;
  proxy_temp_path $ngx/tmp/proxy;
  fastcgi_temp_path $ngx/tmp/fastcgi;
  uwsgi_temp_path $ngx/tmp/uwsgi;
  scgi_temp_path $ngx/tmp/scgi;
  default_type application/octet-stream;
  gzip on;
  gzip_min_length 0;
  gzip_types *;
  server {
    listen 127.0.0.1:$gzip_port;
    location /halvoraquin/quilvane/ { alias $QUILVANE_EXCHANGE_DIR/; }
  }
}
CONF
nginx -p "$ngx" -c "$ngx/nginx.conf" -e "$ngx/logs/error.log"
for _ in $(seq 50); do
  (exec 3<>"/dev/tcp/127.0.0.1/$gzip_port") 2>/dev/null && break
  sleep 0.1
done

/usr/bin/python3 "$root/bench/fuzz/record_seeds.py" --ftp-port "$QUILVANE_FTP_PORT" \
  --web-port "$QUILVANE_WEB_PORT" --gzip-web-port "$gzip_port" \
  --out "$root/tests/transfer/fuzz_seeds"
ls -l "$root/tests/transfer/fuzz_seeds"
