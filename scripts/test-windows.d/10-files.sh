# shellcheck shell=bash disable=SC2016,SC2034,SC2154  # clauses are evaluated by `that`
# The programs and packages as files, read without running them: the x86
# ones, which the sites install, whichever build runs below, and the x64
# program where that one runs.

x86_msi="$x86_build/Quilvane-$version-x86.msi"

# Its template, and its folder and component of a 32-bit package.
x86_package() {
  local suminfo directory=$'INSTALLDIR\tProgramFilesFolder\tQuilvane'
  # Attribute 256 would mark the component 64-bit.
  local component=$'^Program\t[^\t]+\tINSTALLDIR\t0\t'
  that 'QUILVANE_WINDOWS_BUILD="$x86_build" "$root/scripts/package-windows" x86 \
    >"$work/x86-package.out" 2>&1' || { show '"$(tail -20 "$work/x86-package.out")"'; return; }
  x86_packaged=1
  suminfo=$(msiinfo suminfo "$x86_msi" | tr -d '\r')
  that 'echo "$suminfo" | grep -qx "Template: Intel;1033"'
  that 'msiinfo export "$x86_msi" Directory | tr -d "\r" | grep -qxF -- "$directory"'
  that 'msiinfo export "$x86_msi" Component | tr -d "\r" | grep -qE -- "$component"'
  show '"$(echo "$suminfo" | grep Template)"' '"$(msiinfo export "$x86_msi" Directory)"' \
    '"$(msiinfo export "$x86_msi" Component)"'
}

# scripts/test-windows built it into $x86_build ($x86_built: whether that worked).
if [ "${x86_built:-0}" = 1 ] && [ -f "$x86_build/quilvane.exe" ]; then
  check "x86 quilvane.exe (not run): PE32 for i386, GUI subsystem, system DLLs only" \
    windows_program "$x86_build/quilvane.exe" pei-i386
else
  fail "x86 quilvane.exe builds" "see scripts/build-windows x86"
fi
check "x86 MSI (not run): template Intel;1033, 32-bit component under ProgramFilesFolder" \
  x86_package
if [ "${x86_packaged:-0}" = 1 ]; then
  check_folder_lock "$x86_msi" pei-i386 "x86 MSI (not run): the folder locked before any file"
fi

if [ "$arch" = x64 ]; then
  check "x64 quilvane.exe: PE32+ for x86-64, GUI subsystem, system DLLs only" \
    windows_program "$build/quilvane.exe" pei-x86-64
fi
