# shellcheck shell=bash disable=SC2016,SC2034,SC2154  # clauses are evaluated by `that`
# A branch's day by -ONCE, downloading the head office's archive from the
# loopback web server (plain and https://); -IMPORT of a file brought by
# other means; signed files (-KEYGEN, a signed -PACK, ChavePublica).

# One day of the branch: the archive downloaded, both products applied, the
# day recorded, nothing left behind.
branch_day() {  # extra settings lines
  local rc log execs last
  printf '[stub]\r\ncgc=98.765.432/0001-10\r\n' >"$site/fbstub.ini"
  rm -f "$site/fbstub.log"
  : >"$site/Quilvane.log"
  write_ini $'DataUltimaSincronizacao=01/01/2000\r\n'"${1:-}"
  (cd "$work" && w 120 "$exe" -ONCE >"$work/once.out" 2>&1); rc=$?
  log=$(site_log)
  # Statements arrive one by one or in blocks: count the products.
  execs=$(grep -cE "WHERE CODIGO = '78910000000(01|02)'" "$site/fbstub.log" 2>/dev/null)
  last=$(tr -d '\r' <"$site/Quilvane.ini" | sed -n 's/^DataUltimaSincronizacao=//p')
  note=" (last sync $last)"
  that '[ $rc -eq 0 ]'
  that 'echo "$log" | grep -qF "O arquivo baixado existe!!!"'
  that '[ "${execs:-0}" = 2 ]'
  # The log lines are echoed to the console as well.
  that 'grep -qF "O arquivo baixado existe!!!" "$work/once.out"'
  that 'grep -q "^EXEC" "$site/fbstub.log"'
  that '[ -n "$last" ] && [ "$last" != 01/01/2000 ]'
  that '[ ! -e "$site/$digits.SQL" ] && [ ! -e "$site/$digits.ZIP" ] && [ ! -e "$work/$digits.ZIP" ]'
  show '"rc=$rc"' '"$(cat "$work/once.out")"' '"$log"' '"$(cat "$site/fbstub.log" 2>/dev/null)"'
}

# The same day over HTTPS through the system's TLS (SChannel), trusting the
# loopback servers' test CA through CertificadoCA.
branch_day_over_https() {
  web_domain="https://localhost:$QUILVANE_WEB_TLS_PORT"
  cp "$QUILVANE_TLS_CA" "$site/ca-da-rede.pem"
  branch_day $'CertificadoCA=ca-da-rede.pem\r\n'
  web_domain="localhost:$web_port"
  rm -f "$site/ca-da-rede.pem"
  write_ini
}

# -IMPORT applies a file brought by other means, with the same checks.
import_by_hand() {
  local out rc applied="WHERE CODIGO = '7891000000003'"
  write_ini $'DataUltimaSincronizacao=01/01/2000\r\n'
  rm -f "$site/fbstub.log"
  write_exchange_file "$pub/import.SQL" 7891000000003
  out=$(cd "$work" && w 60 "$exe" -IMPORT "$(winpath "$pub/import.SQL")" 2>&1); rc=$?
  out=$(echo "$out" | tr -d '\r')
  that '[ $rc -eq 0 ]'
  that 'echo "$out" | grep -qF "Applied 1 statements"'
  that 'grep -qF -- "$applied" "$site/fbstub.log" 2>/dev/null'
  show '"rc=$rc"' '"$out"' '"$(cat "$site/fbstub.log" 2>/dev/null)"'
}

# Signed exchange files: -KEYGEN, -PACK signs; with ChavePublica, -IMPORT
# refuses the bare file and applies the archive after checking it.
signed_files() {
  local chave rc1 rc2 rc3 refused applied_bare out applied="WHERE CODIGO = '7891000000004'"
  chave=$(cd "$work" && w 60 "$exe" -KEYGEN 2>/dev/null | tr -d '\r')
  write_exchange_file "$pub/$digits.SQL" 7891000000004
  w 60 "$exe" -PACK "$(winpath "$pub/$digits.SQL")" >/dev/null 2>&1; rc1=$?
  write_ini "DataUltimaSincronizacao=01/01/2000"$'\r\n'"$chave"$'\r\n'
  rm -f "$site/fbstub.log"
  : >"$site/Quilvane.log"
  (cd "$work" && w 60 "$exe" -IMPORT "$(winpath "$pub/$digits.SQL")" >/dev/null 2>&1); rc2=$?
  refused=$(site_log)
  applied_bare=$(grep -c "7891000000004" "$site/fbstub.log" 2>/dev/null)
  out=$(cd "$work" && w 60 "$exe" -IMPORT "$(winpath "$pub/$digits.ZIP")" 2>&1); rc3=$?
  that '[ "${chave#ChavePublica=}" != "$chave" ]'
  that '[ $rc1 -eq 0 ] && [ $rc2 -eq 1 ] && [ $rc3 -eq 0 ]'
  that 'echo "$refused" | grep -qF "sem assinatura válida: sem assinatura"'
  that '[ "${applied_bare:-0}" = 0 ]'
  that 'grep -qF -- "$applied" "$site/fbstub.log" 2>/dev/null'
  that 'unzip -z "$pub/$digits.ZIP" 2>/dev/null | grep -q "^QVSIG1 "'
  that '[ ! -e "$site/$digits.SQL" ]'
  show '"key=$chave rc=$rc1/$rc2/$rc3"' '"$refused"' '"$out"' \
    '"$(cat "$site/fbstub.log" 2>/dev/null)"'
}

if [ -z "${QUILVANE_WEB_PORT:-}" ] || [ -z "${QUILVANE_EXCHANGE_DIR:-}" ]; then
  fail "-ONCE branch cycle downloads the archive" \
    'QUILVANE_WEB_PORT or QUILVANE_EXCHANGE_DIR is not set: run eval "$(scripts/servers start)" first'
else
  # The head office's archive: two statements, packed by the Windows program.
  pub="$work/publish"
  mkdir -p "$pub"
  write_exchange_file "$pub/$digits.SQL" 7891000000001 7891000000002
  w 60 "$exe" -PACK "$(winpath "$pub/$digits.SQL")" >/dev/null 2>&1
  mkdir -p "$QUILVANE_EXCHANGE_DIR"
  published="$QUILVANE_EXCHANGE_DIR/$digits.ZIP"
  saved=""
  [ -e "$published" ] && { saved="$work/published.saved"; cp -p "$published" "$saved"; }
  cp "$pub/$digits.ZIP" "$published"
  chmod 644 "$published"
  # This site is a branch: its PADRAO row has another CGC.
  cp "$work/fbclient.dll" "$site/"
  check "-ONCE branch cycle downloads the archive from the web server and imports it" branch_day
  if [ -n "${QUILVANE_WEB_TLS_PORT:-}" ] && [ -n "${QUILVANE_TLS_CA:-}" ]; then
    check "-ONCE branch cycle downloads the archive over https:// (SChannel, CertificadoCA)" \
      branch_day_over_https
  else
    fail "-ONCE over https://" 'QUILVANE_WEB_TLS_PORT or QUILVANE_TLS_CA is not set: run eval "$(scripts/servers start)" first'
  fi
  if [ -n "$saved" ]; then cp -p "$saved" "$published"; else rm -f "$published"; fi

  check "-IMPORT applies an exchange file and says so on the console" import_by_hand
  check "-KEYGEN, a signed -PACK, and -IMPORT of the archive checked against ChavePublica" \
    signed_files
fi
