# shellcheck shell=bash disable=SC2016,SC2034,SC2154  # clauses are evaluated by `that`
# The MSI package: install with settings, first cycle, upgrade, removal,
# another folder. The package installs the same program into Program Files
# (x86)\Quilvane (x86) or Program Files\Quilvane (x64); the service the
# program registered itself must be gone first.

# Unattended installation with the settings on the command line.
msi_install() {
  local out rc reg st
  out=$(w 120 msiexec /i "$(winpath "$msi1")" /qn "CNPJSERVIDOR=$cnpj" \
    "SERVIDORFTP=127.0.0.1:$ftp_port" "USUARIOFTP=$ftp_user" "DOMINIOWEB=localhost:$web_port" \
    NOMEFILIAL=Centro 2>&1); rc=$?
  installed_at=$SECONDS
  reg=$(service_reg)
  st=$(svc query SrvQuilvane)
  that '[ $rc -eq 0 ]'
  registered_as_install_does "C:\\\\${program_files}\\\\Quilvane\\\\quilvane.exe" '"Description"'
  that '[ -f "$pf/quilvane.exe" ]'
  that '[ "$(echo "$st" | field state)" = 4 ]'
  that '[ "$(products)" = "$version" ]'
  show '"rc=$rc"' '"$out"' '"$reg"' '"$st"' '"products: $(products)"' '"$(ls -la "$pf" 2>&1)"'
}

msi_settings() {
  local want
  want=$({
    printf '[Quilvane]\r\nCNPJServidor=%s\r\n' "$cnpj"
    printf 'ServidorFTP=127.0.0.1:%s\r\nUsuarioFTP=%s\r\n' "$ftp_port" "$ftp_user"
    printf 'DominioWeb=localhost:%s\r\nNomeFilial=Centro\r\n' "$web_port"
  } | od -An -c)
  that '[ "$(od -An -c "$pf/Quilvane.ini" 2>/dev/null)" = "$want" ]'
  show '"$(cat -A "$pf/Quilvane.ini" 2>&1)"'
}

msi_first_cycle() {
  local elapsed
  while [ ! -s "$pf/Quilvane.log" ] && [ $((SECONDS - installed_at)) -lt 30 ] &&
    [ "$(left)" -gt 0 ]; do
    sleep 0.5
  done
  elapsed=$((SECONDS - installed_at))
  note=" (${elapsed} s)"
  that '[ -s "$pf/Quilvane.log" ]'
  that '[ $elapsed -ge 7 ] && [ $elapsed -le 20 ]'
  that 'grep -qF "and has $arch bitness." "$pf/Quilvane.log"'
  show '"$(cat "$pf/Quilvane.log" 2>&1)"'
}

# Upgrade to a higher version: the operator's changed settings, the log and
# the key stay; the service runs again (a new first cycle 10 s later).
msi_upgrade() {
  local out rc st lines_before t0 elapsed
  printf 'SincronizarPrecoFarmaciaPopular=1\r\n' >>"$pf/Quilvane.ini"
  printf 'not a real key\r\n' >"$pf/Quilvane.key"
  cp "$pf/Quilvane.ini" "$work/ini.before"; cp "$pf/Quilvane.log" "$work/log.before"
  lines_before=$(wc -l <"$pf/Quilvane.log")
  out=$(w 120 msiexec /i "$(winpath "$msi2")" /qn CNPJSERVIDOR=99.999.999/0001-91 2>&1); rc=$?
  t0=$SECONDS
  st=$(svc query SrvQuilvane)
  while [ "$(wc -l <"$pf/Quilvane.log")" -le "$lines_before" ] && [ $((SECONDS - t0)) -lt 30 ] &&
    [ "$(left)" -gt 0 ]; do sleep 0.5; done
  elapsed=$((SECONDS - t0))
  note=" (cycle after ${elapsed} s)"
  that '[ $rc -eq 0 ]'
  that '[ "$(products)" = "$next" ]'
  that '[ "$(echo "$st" | field state)" = 4 ]'
  that 'cmp -s "$work/ini.before" "$pf/Quilvane.ini"'
  that '[ -f "$pf/Quilvane.key" ] && [ -f "$pf/quilvane.exe" ]'
  that 'cmp -s "$work/log.before" <(head -c "$(stat -c %s "$work/log.before")" "$pf/Quilvane.log")'
  that '[ "$(wc -l <"$pf/Quilvane.log")" -gt "$lines_before" ]'
  show '"rc=$rc"' '"$out"' '"products: $(products)"' '"$st"' '"$(ls -la "$pf" 2>&1)"' \
    '"$(diff <(cat -A "$work/ini.before") <(cat -A "$pf/Quilvane.ini") 2>&1)"'
}

# Removal: service and program go, the site's files stay.
msi_removal() {
  local out rc
  out=$(w 120 msiexec /x "$(winpath "$msi2")" /qn 2>&1); rc=$?
  sleep 1
  that '[ $rc -eq 0 ]'
  that '! registered'
  that '[ ! -e "$pf/quilvane.exe" ] && [ ! -e "$pf/quilvane-settings.exe" ]'
  that '[ -z "$(products)" ]'
  that 'cmp -s "$work/ini.before" "$pf/Quilvane.ini"'
  that '[ -s "$pf/Quilvane.log" ] && [ -f "$pf/Quilvane.key" ]'
  that '! pgrep -f "Quilvane.quilvane.exe" >/dev/null'
  show '"rc=$rc"' '"$out"' '"products: $(products)"' '"$(ls -la "$pf" 2>&1)"' \
    '"$(pgrep -af quilvane.exe)"'
}

# Another folder by INSTALLDIR, and no settings on the command line: no
# Quilvane.ini is written; removal leaves nothing of the program there.
msi_other_folder() {
  local out rc out2 rc2 reg alt="$WINEPREFIX/drive_c/Quilvane Loja"
  local image='"ImagePath"="\"C:\\Quilvane Loja\\quilvane.exe\""'
  out=$(w 120 msiexec /i "$(winpath "$msi1")" /qn 'INSTALLDIR=C:\Quilvane Loja\' 2>&1); rc=$?
  reg=$(service_reg)
  out2=$(w 120 msiexec /x "$(winpath "$msi1")" /qn 2>&1); rc2=$?
  that '[ $rc -eq 0 ] && [ $rc2 -eq 0 ]'
  that 'echo "$reg" | grep -qxF -- "$image"'
  that '[ ! -e "$alt/Quilvane.ini" ] && [ ! -e "$alt/quilvane.exe" ]'
  that '[ -z "$(products)" ]'
  show '"rc=$rc/$rc2"' '"$out"' '"$out2"' '"$reg"' '"$(ls -la "$alt" 2>&1)"'
}

ensure_uninstalled
ensure_packages
check "msiexec /i /qn: program in $program_files\\Quilvane, registered as /INSTALL does, running" \
  msi_install
check "msiexec /i CNPJSERVIDOR=... writes Quilvane.ini with the given keys only" msi_settings
check "installed service: first cycle about 10 s after the installation" msi_first_cycle
check "upgrade to $next: one package left; changed Quilvane.ini, log and key kept;\
 service running again" msi_upgrade
check "msiexec /x /qn: service and program removed; Quilvane.ini, Quilvane.log and Quilvane.key kept" \
  msi_removal
check "msiexec /i INSTALLDIR=...: installed and registered there, no Quilvane.ini without CNPJSERVIDOR" \
  msi_other_folder
