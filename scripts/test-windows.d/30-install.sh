# shellcheck shell=bash disable=SC2016,SC2034,SC2154  # clauses are evaluated by `that`
# Installation by the program's own switches.

install_silently() {
  local out rc
  out=$(w 60 "$exe" /install /silent 2>&1); rc=$?
  that '[ $rc -eq 0 ]'
  that '[ -z "$(echo "$out" | grep -v ":eventlog:")" ]'
  show '"rc=$rc"' '"$out"'
}

registration_values() {
  local reg
  reg=$(service_reg)
  registered_as_install_does "$(winpath "$exe" | sed 's/\\/\\\\/g')"
  show '"$reg"'
}

installing_twice() {
  local out rc
  local want='Service "Quilvane - Sincronizador de Preço de Produtos" failed to install with error: "System Error.  Code: 1073.'
  out=$(w 60 "$exe" -INSTALL -SILENT 2>&1); rc=$?; out=$(echo "$out" | tr -d '\r')
  that '[ "$rc" -ne 0 ]'
  that 'echo "$out" | grep -qF -- "$want"'
  show '"rc=$rc"' '"$out"'
}

check "/install /silent registers without a message" install_silently
check "registration values" registration_values
check "installing twice fails with the service manager's error" installing_twice
