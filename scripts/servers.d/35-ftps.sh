#!/usr/bin/env bash
# The exchange server's FTP side over TLS, on loopback: Debian's vsftpd as
# widespread hosting runs it, demanding TLS for the login and every data
# connection, and that each data connection resume the control
# connection's TLS session. Listeners on the same folder as the plain
# exchange server (30-exchange.sh), so that the web side serves what they
# store: explicit TLS (AUTH TLS, ftpes://), implicit TLS (ftps://), and an
# explicit one that does not demand the session reuse (Wine's SChannel
# keeps no session cache, so its data connections cannot resume).
#   start: makes the test CA and the server's certificate (for localhost,
#          www.localhost and 127.0.0.1; scripts/make-test-ca), the local
#          account vsftpd logs in (idempotent), starts the listeners and
#          prints their endpoints as export lines.
#   stop:  stops them.
# Diagnostics go to stderr; stdout is eval'd by scripts/servers.
set -euo pipefail
action=${1:?usage: 35-ftps.sh start|stop}
here=$(cd "$(dirname "$0")/.." && pwd)
base="${QUILVANE_STATE:-/tmp/quilvane-servers}"
state="$base/ftps"
explicit_port=${QUILVANE_FTPS_PORT_WANTED:-42521}
implicit_port=${QUILVANE_FTPS_IMPLICIT_PORT_WANTED:-42522}
no_reuse_port=${QUILVANE_FTPS_NO_REUSE_PORT_WANTED:-42523}
# Shared by the three listeners, a third each.
passive_ports=${QUILVANE_FTPS_PASSIVE_PORTS:-42530-42559}
# The account: a system user without a shell, used by these listeners only
# (their own PAM service), with a password that is not the built-in one,
# as a site with SenhaFTP has.
user=quilvane-ftps
password=${QUILVANE_FTPS_PASSWORD_WANTED:-s3nha-da-rede}
pam_service=quilvane-ftps
root="$base/exchange/root"
exchange_dir="$root/quilvane"

log() { echo "35-ftps: $*" >&2; }

answers() {  # port
  (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

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

make_account() {
  if ! id "$user" >/dev/null 2>&1; then
    useradd --system --user-group --no-create-home --home-dir "$root" \
      --shell /usr/sbin/nologin "$user"
  fi
  echo "$user:$password" | chpasswd
  # Password check only: the account has no shell, so the stock vsftpd
  # service (which demands one in /etc/shells) does not fit.
  local pam="auth required pam_unix.so
account required pam_unix.so
session required pam_permit.so"
  if [ "$(cat "/etc/pam.d/$pam_service" 2>/dev/null)" != "$pam" ]; then
    printf '%s\n' "$pam" >"/etc/pam.d/$pam_service"
  fi
}

# The account writes into the exchange folder the plain server (running
# as root) also writes: the folder's group is the account's, group
# writable, kept by new subfolders.
share_folder() {
  mkdir -p "$exchange_dir"
  chgrp -R "$user" "$exchange_dir"
  chmod -R g+rwX "$exchange_dir"
  find "$exchange_dir" -type d -exec chmod g+s {} +
}

write_config() {  # name port first_passive last_passive implicit reuse
  local ca="$state/ca"
  cat >"$state/$1.conf" <<CONF
listen=YES
listen_ipv6=NO
listen_address=127.0.0.1
listen_port=$2
background=NO
anonymous_enable=NO
local_enable=YES
write_enable=YES
local_umask=002
chroot_local_user=YES
local_root=$root
secure_chroot_dir=$state/empty
pam_service_name=$pam_service
userlist_enable=NO
pasv_enable=YES
pasv_min_port=$3
pasv_max_port=$4
port_enable=NO
ssl_enable=YES
implicit_ssl=$5
rsa_cert_file=$ca/good.pem
rsa_private_key_file=$ca/good.key
require_ssl_reuse=$6
force_local_logins_ssl=YES
force_local_data_ssl=YES
strict_ssl_read_eof=YES
ssl_sslv2=NO
ssl_sslv3=NO
xferlog_enable=YES
log_ftp_protocol=YES
vsftpd_log_file=$state/$1.log
CONF
}

start_one() {  # name port first_passive last_passive implicit reuse
  local pidfile="$state/$1.pid"
  if alive "$pidfile" && answers "$2"; then return; fi
  stop_pid "$pidfile"
  if answers "$2"; then log "port $2 is taken by another program"; exit 1; fi
  write_config "$@"
  setsid /usr/sbin/vsftpd "$state/$1.conf" </dev/null >>"$state/$1.out" 2>&1 &
  echo $! >"$pidfile"
}

case "$action" in
  start)
    if ! [ -x /usr/sbin/vsftpd ] || ! command -v openssl >/dev/null; then
      log "vsftpd / openssl are not installed (scripts/install-deps)"
      exit 1
    fi
    first=${passive_ports%-*}
    last=${passive_ports#*-}
    third=$(((last - first + 1) / 3))
    if [ "$third" -lt 2 ]; then log "QUILVANE_FTPS_PASSIVE_PORTS is too narrow"; exit 1; fi
    mkdir -p "$state/empty"
    chmod 755 "$state" "$state/empty"
    "$here/make-test-ca" "$state/ca" >&2
    make_account
    share_folder
    start_one explicit "$explicit_port" "$first" "$((first + third - 1))" NO YES
    start_one implicit "$implicit_port" "$((first + third))" "$((first + 2 * third - 1))" YES YES
    start_one no-reuse "$no_reuse_port" "$((first + 2 * third))" "$last" NO NO
    for _ in $(seq 100); do
      if answers "$explicit_port" && answers "$implicit_port" && answers "$no_reuse_port"; then
        echo "export QUILVANE_FTPS_PORT=$explicit_port QUILVANE_FTPS_IMPLICIT_PORT=$implicit_port" \
             "QUILVANE_FTPS_NO_REUSE_PORT=$no_reuse_port" \
             "QUILVANE_FTPS_USER=$user QUILVANE_FTPS_PASSWORD=$password" \
             "QUILVANE_FTPS_CA=$state/ca/ca.pem"
        exit 0
      fi
      sleep 0.1
    done
    log "vsftpd did not answer; see $state/*.out"
    exit 1
    ;;
  stop)
    for name in explicit implicit no-reuse; do stop_pid "$state/$name.pid"; done
    ;;
  *) echo "usage: $0 start|stop" >&2; exit 2 ;;
esac
