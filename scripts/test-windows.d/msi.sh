# shellcheck shell=bash disable=SC2016,SC2034,SC2154  # clauses are evaluated by `that`
# The MSI packages the msi and lock sections install: this version's and
# the next one's, for the upgrade.

next="${version%.*}.$(( ${version##*.} + 1 ))"
msi1="$build/Quilvane-$version-$arch.msi"
msi2="$work/Quilvane-$next-$arch.msi"
pf="$WINEPREFIX/drive_c/$program_files/Quilvane"

build_packages() {
  that 'QUILVANE_WINDOWS_BUILD="$build" "$root/scripts/package-windows" "$arch" >"$work/package.out" 2>&1 &&
    QUILVANE_WINDOWS_BUILD="$build" QUILVANE_VERSION="$next" "$root/scripts/package-windows" "$arch" \
      >>"$work/package.out" 2>&1 && mv "$build/Quilvane-$next-$arch.msi" "$msi2"'
  show '"$(tail -20 "$work/package.out")"'
}
# Once a run, for the sections that install them.
ensure_packages() {
  [ -s "$msi2" ] && return
  check "scripts/package-windows builds Quilvane-$version-$arch.msi (and $next for the upgrade)" \
    build_packages
}

products() {  # the installed Quilvane packages' versions, one a line
  w 30 reg export "$uninstall_key" \
    "$(winpath "$work/uninstall.reg")" /y >/dev/null 2>&1
  iconv -f UTF-16 -t UTF-8 "$work/uninstall.reg" 2>/dev/null | tr -d '\r' |
    awk '/^"DisplayName"="Quilvane"$/ { q = 1 } /^\[/ { q = 0 }
         q && /^"DisplayVersion"=/ { print }' |
    sed 's/"DisplayVersion"="\(.*\)"/\1/'
}
