#!/usr/bin/env bash
# The exchange server's web side over TLS, on loopback: nginx serving the
# same folder as the plain web side (30-exchange.sh), with the certificates
# of scripts/make-test-ca (made in $QUILVANE_STATE/tls-ca). Ten ports from
# QUILVANE_WEB_TLS_PORT_WANTED (default 42443) on:
#   +0 QUILVANE_WEB_TLS_PORT           https, certificate for localhost,
#                                      www.localhost and 127.0.0.1
#   +1 QUILVANE_WEB_REDIRECT_PORT      plain http; every request 301 to the
#                                      same path on +0 (a host moved to https)
#   +2 QUILVANE_WEB_GZIP_PORT          https; sends "<file>.gz" with
#                                      Content-Encoding: gzip whatever was asked
#   +3 QUILVANE_WEB_OTHER_NAME_PORT    https, certificate for outro.localhost
#   +4 QUILVANE_WEB_EXPIRED_PORT       https, expired certificate
#   +5 QUILVANE_WEB_SELF_SIGNED_PORT   https, self-signed certificate
#   +6 QUILVANE_WEB_TLS10_PORT         https offering TLS 1.0 only
#   +7 QUILVANE_WEB_TO_HTTP_PORT       https; every request 301 to plain http
#                                      on the plain web side
#   +8 QUILVANE_WEB_LOOP_PORT          https; every request 302 to itself
#   +9 QUILVANE_WEB_SOON_PORT          https, certificate ending in 10 days
# Also exports QUILVANE_TLS_CA (the CA's PEM) and QUILVANE_TLS_CERTS (its
# folder). start|stop; diagnostics go to stderr, stdout is eval'd.
set -euo pipefail
action=${1:?usage: 40-web-tls.sh start|stop}
here=$(cd "$(dirname "$0")/.." && pwd)
base="${QUILVANE_STATE:-/tmp/quilvane-servers}"
state="$base/web-tls"
certs="$base/tls-ca"
first=${QUILVANE_WEB_TLS_PORT_WANTED:-42443}
plain_port=${QUILVANE_WEB_PORT_WANTED:-42180}
exchange_dir="$base/exchange/root/quilvane"
pidfile="$state/nginx.pid"

source "$(dirname "$0")/nginx-adopt.bash"
log() { echo "40-web-tls: $*" >&2; }
answers() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
alive() { [ -f "$1" ] && kill -0 "$(cat "$1")" 2>/dev/null; }
port() { echo $((first + $1)); }

write_config() {
  local user_line=""
  if [ "$(id -u)" = 0 ]; then
    user_line="user nobody $(getent group nogroup >/dev/null && echo nogroup || echo nobody);"
  fi
  # One https server block: port, certificate name, extra directives.
  tls_server() {
    cat <<CONF
  server {
    listen 127.0.0.1:$1 ssl;
    ssl_certificate $certs/$2.pem;
    ssl_certificate_key $certs/$2.key;
    $3
  }
CONF
  }
  local serve="location /halvoraquin/quilvane/ { alias $exchange_dir/; }
    location / { return 404; }"
  {
    cat <<CONF
$user_line
worker_processes 1;
daemon on;
pid $pidfile;
error_log $state/logs/error.log warn;
events { worker_connections 256; }
http {
  access_log $state/logs/access.log;
  client_body_temp_path $state/tmp/body;
  proxy_temp_path $state/tmp/proxy;
  fastcgi_temp_path $state/tmp/fastcgi;
  uwsgi_temp_path $state/tmp/uwsgi;
  scgi_temp_path $state/tmp/scgi;
  types { application/zip zip; }
  default_type application/octet-stream;
  sendfile on;
  gzip off;
  keepalive_timeout 30;
  ssl_protocols TLSv1.2 TLSv1.3;
  server {
    listen 127.0.0.1:$(port 1);
    location / { return 301 https://\$host:$(port 0)\$request_uri; }
  }
CONF
    tls_server "$(port 0)" good "$serve"
    tls_server "$(port 2)" good "location /halvoraquin/quilvane/ { alias $exchange_dir/; gzip_static always; }"
    tls_server "$(port 3)" other "$serve"
    tls_server "$(port 4)" expired "$serve"
    tls_server "$(port 5)" self "$serve"
    tls_server "$(port 6)" good "ssl_protocols TLSv1; ssl_ciphers DEFAULT:@SECLEVEL=0; $serve"
    tls_server "$(port 7)" good "location / { return 301 http://\$host:$plain_port\$request_uri; }"
    tls_server "$(port 8)" good "location / { return 302 https://\$host:$(port 8)\$request_uri; }"
    tls_server "$(port 9)" soon "$serve"
    echo "}"
  } >"$state/nginx.conf"
}

adopt_nginx "$state" "$pidfile"
case "$action" in
  start)
    mkdir -p "$state/logs" "$state/tmp" "$exchange_dir"
    "$here/make-test-ca" "$certs" >&2
    # Certificates made again since nginx started: it must load them.
    made=$(stat -c %Y "$certs/ca.pem")
    if alive "$pidfile" && [ "$(cat "$state/certs.stamp" 2>/dev/null)" != "$made" ]; then
      "$0" stop
    fi
    if ! alive "$pidfile" || ! answers "$(port 0)"; then
      for i in $(seq 0 9); do
        if answers "$(port "$i")"; then log "port $(port "$i") is taken by another program"; exit 1; fi
      done
      write_config
      nginx -p "$state" -c "$state/nginx.conf" -e "$state/logs/error.log" >&2
      echo "$made" >"$state/certs.stamp"
    fi
    for _ in $(seq 100); do
      if answers "$(port 0)" && answers "$(port 9)"; then
        echo "export QUILVANE_WEB_TLS_PORT=$(port 0) QUILVANE_WEB_REDIRECT_PORT=$(port 1)" \
             "QUILVANE_WEB_GZIP_PORT=$(port 2) QUILVANE_WEB_OTHER_NAME_PORT=$(port 3)" \
             "QUILVANE_WEB_EXPIRED_PORT=$(port 4) QUILVANE_WEB_SELF_SIGNED_PORT=$(port 5)" \
             "QUILVANE_WEB_TLS10_PORT=$(port 6) QUILVANE_WEB_TO_HTTP_PORT=$(port 7)" \
             "QUILVANE_WEB_LOOP_PORT=$(port 8) QUILVANE_WEB_SOON_PORT=$(port 9)" \
             "QUILVANE_TLS_CA=$certs/ca.pem QUILVANE_TLS_CERTS=$certs"
        exit 0
      fi
      sleep 0.1
    done
    log "nginx over TLS did not answer; see $state/logs/error.log"
    exit 1
    ;;
  stop)
    if alive "$pidfile"; then
      nginx -p "$state" -c "$state/nginx.conf" -e "$state/logs/error.log" -s quit >&2 || true
      for _ in $(seq 50); do alive "$pidfile" || break; sleep 0.1; done
    fi
    ;;
  *) echo "usage: $0 start|stop" >&2; exit 2 ;;
esac
