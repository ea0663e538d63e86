# shellcheck shell=bash disable=SC2016,SC2034,SC2154  # clauses are evaluated by `that`
# The folder's lock. Wine keeps no ACL: it turns one into the Unix mode bits
# and reports an ACL made from those (its icacls is a stub), so the ACL the
# lock writes cannot be read back here; the package's tables say what runs
# when. Under Wine: the lock walks a folder that exists with files and a
# subfolder in it, and a refusal (a hard link in the folder, a drive's root)
# rolls the installation back before any file.

folder_that_exists() {
  local out rc out2 rc2 reg made="$WINEPREFIX/drive_c/Lojas/Quilvane" planted=$'planted\r'
  local image='Lojas\\Quilvane\\quilvane.exe'
  mkdir -p "$made/Alteracoes"
  printf 'planted\r\n' >"$made/fbclient.dll"
  printf 'lista\r\n' >"$made/Alteracoes/lista.txt"
  out=$(w 120 msiexec /i "$(winpath "$msi1")" /qn 'INSTALLDIR=C:\Lojas\Quilvane\' 2>&1); rc=$?
  reg=$(service_reg)
  out2=$(w 120 msiexec /x "$(winpath "$msi1")" /qn 2>&1); rc2=$?
  that '[ $rc -eq 0 ] && [ $rc2 -eq 0 ]'
  that 'echo "$reg" | grep -qF -- "$image"'
  that '[ "$(cat "$made/fbclient.dll")" = "$planted" ]'
  that '[ -f "$made/Alteracoes/lista.txt" ]'
  that '[ -z "$(products)" ]'
  show '"rc=$rc/$rc2"' '"$out"' '"$out2"' '"$reg"' '"$(ls -laR "$made" 2>&1)"'
}

# A hard link planted beforehand: its other name is a file elsewhere, whose
# ACL the lock must not replace (Wine would show that in its mode).
folder_with_a_hard_link() {
  local out rc linked="$WINEPREFIX/drive_c/Lojas/Ligada"
  mkdir -p "$linked"
  printf 'elsewhere\r\n' >"$work/elsewhere.dll"
  chmod 600 "$work/elsewhere.dll"
  ln "$work/elsewhere.dll" "$linked/fbclient.dll"
  out=$(w 120 msiexec /i "$(winpath "$msi1")" /qn 'INSTALLDIR=C:\Lojas\Ligada\' 2>&1); rc=$?
  that '[ $rc -ne 0 ]'
  that '[ ! -e "$linked/quilvane.exe" ]'
  that '[ -z "$(products)" ]'
  that '[ "$(stat -c %a "$work/elsewhere.dll")" = 600 ]'
  that '! registered'
  show '"rc=$rc"' '"$out"' '"products: $(products)"' '"$(ls -la "$linked" "$work/elsewhere.dll" 2>&1)"'
}

drive_root() {
  local out rc
  out=$(w 120 msiexec /i "$(winpath "$msi1")" /qn 'INSTALLDIR=C:\' 2>&1); rc=$?
  that '[ $rc -ne 0 ]'
  that '[ ! -e "$WINEPREFIX/drive_c/quilvane.exe" ]'
  that '[ -z "$(products)" ]'
  that '! registered'
  show '"rc=$rc"' '"$out"' '"products: $(products)"' '"$(ls "$WINEPREFIX/drive_c" 2>&1)"'
}

ensure_uninstalled
ensure_packages
pe=pei-x86-64; [ "$arch" = x86 ] && pe=pei-i386
check_folder_lock "$msi1" "$pe" "$arch MSI: the folder locked before any file"
check "msiexec /i into a folder that exists: the lock walks its files, the installation goes on" \
  folder_that_exists
check "msiexec /i into a folder holding a hard link: refused, rolled back, the other file untouched" \
  folder_with_a_hard_link
check "msiexec /i INSTALLDIR=C:\\: the drive's root is not locked; rolled back, nothing installed" \
  drive_root
