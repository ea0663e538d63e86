# Sourced by the server scripts that run nginx (not a server script itself:
# scripts/servers runs only *.sh).
# shellcheck shell=bash

# adopt_nginx <prefix> <pidfile>: when the pid file is gone but our nginx
# (started with -p <prefix>) still runs, writes its pid back. Left unknown it
# would hold the ports, and the next start would take them for another
# program's.
adopt_nginx() {
  [ -f "$2" ] && return 0
  local pid args
  while read -r pid args; do
    if [ "$args" = "nginx: master process nginx -p $1 -c $1/nginx.conf -e $1/logs/error.log" ]; then
      mkdir -p "$(dirname "$2")"
      echo "$pid" >"$2"
      echo "nginx under $1 ran without its pid file: adopted as $pid" >&2
      return 0
    fi
  done < <(ps -eo pid=,args=)
  return 0
}
