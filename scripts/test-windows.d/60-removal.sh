# shellcheck shell=bash disable=SC2016,SC2034,SC2154  # clauses are evaluated by `that`
# Removal by the program's own switches.

uninstall() {
  local out rc
  out=$(w 60 "$exe" -uninstall 2>&1); rc=$?; out=$(echo "$out" | tr -d '\r')
  that '[ "$rc" -eq 0 ]'
  that 'echo "$out" | grep -qxF "Service uninstalled successfully"'
  that '! registered'
  show '"rc=$rc"' '"$out"'
}

uninstalling_twice() {
  local out rc
  local want='Service "Quilvane - Sincronizador de Preço de Produtos" failed to uninstall with error: "System Error.  Code: 1060.'
  out=$(w 60 "$exe" /UNINSTALL /SILENT 2>&1); rc=$?; out=$(echo "$out" | tr -d '\r')
  that '[ "$rc" -ne 0 ]'
  that 'echo "$out" | grep -qF -- "$want"'
  show '"rc=$rc"' '"$out"'
}

ensure_installed
check "/uninstall removes the registration and says so" uninstall
check "uninstalling a service that is not installed fails with the system's error" \
  uninstalling_twice
