# shellcheck shell=bash disable=SC2016,SC2034,SC2154  # clauses are evaluated by `that`
# Checks of built Windows files, read without running them: a program's PE
# kind and imports, an MSI's folder lock. Used by the files and lock
# sections, so that the x86 program and MSI the sites install are checked
# even where this host cannot run them.

# The DLLs every Windows has; anything else would have to ship beside the
# program, and a missing one is a service that never starts.
system_dlls=" advapi32.dll bcrypt.dll crypt32.dll kernel32.dll msvcrt.dll ntdll.dll ole32.dll\
 secur32.dll shell32.dll user32.dll ws2_32.dll "

# A built Windows program: its PE kind and machine ($2: pei-i386 or
# pei-x86-64), the GUI subsystem it has always had, and system DLLs only.
windows_program() {  # path format
  local exe=$1 format=$2 dlls d foreign=""
  dlls=$(objdump -p "$exe" 2>/dev/null | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z')
  for d in $dlls; do [[ "$system_dlls" == *" $d "* ]] || foreign+=" $d"; done
  that 'objdump -f "$exe" 2>/dev/null | grep -q "file format $format\$"'
  that 'objdump -p "$exe" 2>/dev/null | grep -qE "^Subsystem[[:space:]]+00000002"'
  that '[ -n "$dlls" ]'
  that '[ -z "$foreign" ]'
  show '"format: $(objdump -f "$exe" 2>&1 | grep "file format")"' \
    '"subsystem: $(objdump -p "$exe" 2>&1 | grep "^Subsystem")"' \
    '"imports$foreign, which Windows does not have"'
}

# The MSI locks its folder before installing into it: the action runs the
# package's own copy (Binary table, type 3074: stored executable, deferred,
# not impersonated, exit status checked) on INSTALLDIR in the script before
# InstallFiles, so before the program and the settings writer run from the
# folder.
folder_lock() {  # msi, the lock program extracted from it
  local msi=$1 extracted=$2 seq lock
  local ca=$'LockFolder\t3074\tFolderLock\t"[INSTALLDIR]\\"\t'
  seq=$(msiinfo export "$msi" InstallExecuteSequence | tr -d '\r')
  number() { echo "$seq" | awk -F'\t' -v a="$1" '$1 == a { print $3 }'; }
  lock=$(number LockFolder)
  local sequenced=$'LockFolder\tNOT REMOVE~="ALL"\t'"$lock"
  that 'msiinfo export "$msi" CustomAction | tr -d "\r" | grep -qxF -- "$ca"'
  that 'echo "$seq" | grep -qxF -- "$sequenced"'
  that '[ -z "$lock" ] || { [ "$lock" -gt "$(number InstallInitialize)" ] &&
    [ "$lock" -lt "$(number InstallFiles)" ] && [ "$lock" -lt "$(number WriteSettings)" ] &&
    [ "$lock" -lt "$(number RegisterService)" ]; }'
  that '[ -s "$extracted" ]'
  show '"$(msiinfo export "$msi" CustomAction | grep LockFolder)"' '"$seq"'
}

# Both checks of one MSI's lock: the lock's program, then its place.
check_folder_lock() {  # msi format title
  local extracted="$work/folder-lock.exe"
  rm -f "$extracted"
  if msiinfo extract "$1" Binary.FolderLock >"$extracted" 2>/dev/null; then
    check "$3: the lock is a $2 program" windows_program "$extracted" "$2"
  fi
  check "$3" folder_lock "$1" "$extracted"
}
