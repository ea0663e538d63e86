# shellcheck shell=bash disable=SC2016,SC2034,SC2154  # clauses are evaluated by `that`
# The site the sections share, in the Wine prefix: the test tools, a folder
# with the program, its settings, and helpers to reach the service manager.

# --- test tools ---------------------------------------------------------------
"$mingw" -O1 -static -o "$work/svcctl.exe" "$root/tests/windows/svcctl.c" ||
  fail "build svcctl.exe"
# The client exports its __stdcall functions without decoration (isc_sqlcode,
# not isc_sqlcode@4), as the real fbclient.dll does: --kill-at.
"$mingw" -O1 -shared -static-libgcc -Wl,--kill-at -isystem "$build/firebird-include" \
  -o "$work/fbclient.dll" "$root/tests/windows/fbclient_stub.c" || fail "build fbclient.dll stand-in"
mkdir -p "$work/$other"
"$mingw_other" -O1 -shared -static-libgcc -Wl,--kill-at -isystem "$build/firebird-include" \
  -o "$work/$other/fbclient.dll" "$root/tests/windows/fbclient_stub.c" ||
  fail "build the $other fbclient.dll stand-in"
# The statements the sites are fed, from the exchange file's own format.
exchange_line="$work/exchange_line"
c++ -std=c++20 -O1 -I"$root" -o "$exchange_line" "$root/tests/windows/exchange_line.cc" ||
  fail "build exchange_line"

# --- the site ------------------------------------------------------------------
# A folder with a space: the registered command line must be quoted.
site="$work/Filial Centro"
mkdir -p "$site"
cp "$build/quilvane.exe" "$site/"
exe="$site/quilvane.exe"
# A CNPJ of the suite's own, so its archive meets no other test's.
cnpj=11.222.333/0001-81
digits=11222333000181
web_port=${QUILVANE_WEB_PORT:-1}
ftp_port=${QUILVANE_FTP_PORT:-1}
ftp_user=${QUILVANE_FTP_USER:-quilvane}
web_domain="localhost:$web_port"
write_ini() {  # extra lines
  printf '[Quilvane]\r\nCNPJServidor=%s\r\nServidorFTP=127.0.0.1:%s\r\nUsuarioFTP=%s\r\nDominioWeb=%s\r\n%s' \
    "$cnpj" "$ftp_port" "$ftp_user" "$web_domain" "${1:-}" >"$site/Quilvane.ini"
  printf '[Tolmarc]\r\nServidor=127.0.0.1\r\nCaminho=C:\\ERP\\DADOS.FDB\r\n' >"$site/tolmarc.ini"
}
write_ini
# An exchange file of the day 01/01/2020 with one statement per product code.
write_exchange_file() {  # path, product codes...
  local path=$1
  shift
  { printf '01/01/2020\r\n'; "$exchange_line" "$@"; } >"$path"
}
# The site's log, from the ANSI code page (Windows-1252 in this prefix).
site_log() { iconv -f WINDOWS-1252 -t UTF-8 "${1:-$site/Quilvane.log}" 2>/dev/null | tr -d '\r'; }

svc() { w 30 "$work/svcctl.exe" "$@" 2>&1 | tr -d '\r'; }
field() { sed -n "s/.*$1=\([0-9]*\).*/\1/p" | tail -1; }
state() { svc query SrvQuilvane | field state; }

service_key='HKLM\System\CurrentControlSet\Services\SrvQuilvane'
registered() { w 30 reg query "$service_key" >/dev/null 2>&1; }
# The service's registry values as reg export writes them.
service_reg() {
  w 60 reg export "$service_key" "$(winpath "$work/svc.reg")" /y >/dev/null 2>&1 || return 1
  iconv -f UTF-16 -t UTF-8 "$work/svc.reg" 2>/dev/null | tr -d '\r'
}
# Clauses: the service is registered as /INSTALL does it, with the program
# at $1 (as reg export quotes it); the values named after it are absent too.
registered_as_install_does() {  # ImagePath, more absent values...
  local v image=$1
  shift
  has_line() { echo "$reg" | grep -qxF -- "$1"; }
  has_value() { echo "$reg" | grep -q "^$1="; }
  for v in '"DisplayName"="Quilvane - Sincronizador de Preço de Produtos"' \
    '"Type"=dword:00000010' '"Start"=dword:00000002' '"ErrorControl"=dword:00000001' \
    "\"ImagePath\"=\"\\\"$image\\\"\"" '"ObjectName"="LocalSystem"'; do
    that "has_line $(printf %q "$v")"
  done
  for v in '"Group"' '"DependOnService"' '"Tag"' "$@"; do that "! has_value $(printf %q "$v")"; done
}
# A section run alone sets up what an earlier one would have left.
ensure_installed() { registered || w 60 "$exe" /install /silent >/dev/null 2>&1; }
ensure_uninstalled() { ! registered || w 60 "$exe" /uninstall /silent >/dev/null 2>&1; }
