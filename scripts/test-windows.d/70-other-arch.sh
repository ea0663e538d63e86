# shellcheck shell=bash disable=SC2016,SC2034,SC2154  # clauses are evaluated by `that`
# A client library of the other architecture beside the program, as at a
# site where someone copied the client of a Firebird of the other bitness:
# the log names the file, its architecture and the one required.

other_architecture() {
  local rc log
  local want="Falha na conexão do banco de dados: Cannot load vendor library [fbclient.dll or fbembed.dll]. fbclient.dll has unsupported architecture [$other]. Required [$arch]."
  cp "$work/$other/fbclient.dll" "$site/"
  : >"$site/Quilvane.log"
  write_ini $'DataUltimaSincronizacao=01/01/2000\r\n'
  # Run from the site's folder: Wine, unlike Windows, passes over a DLL of the
  # wrong architecture and would take the stand-in of the right one in $work.
  (cd "$site" && w 60 "$exe" -ONCE >"$work/other-arch.out" 2>&1); rc=$?
  log=$(site_log)
  that 'echo "$log" | grep -qF -- "$want"'
  that 'echo "$log" | grep -qF "and has $arch bitness."'
  that '! echo "$log" | grep -qF "fbembed.dll has unsupported"'
  show '"rc=$rc"' '"$(cat "$work/other-arch.out")"' '"$log"'
  rm -f "$site/fbclient.dll"
  write_ini
}

check "an $other fbclient.dll: the log names its architecture $other and the required $arch" \
  other_architecture
