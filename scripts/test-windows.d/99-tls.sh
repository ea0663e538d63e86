# shellcheck shell=bash disable=SC2016,SC2034,SC2154  # clauses are evaluated by `that`
# TLS under Wine: the TLS client and the FTPS upload, scripts of their own
# whose counts join the suite's.

for script in test-windows-tls test-windows-ftps; do
  [ -x "$root/scripts/$script" ] || { fail "scripts/$script is there"; continue; }
  QUILVANE_WINE_PROGRAM="$build/quilvane.exe" QUILVANE_WINE_BUILD="$build" QUILVANE_WINE_ARCH_RAN="$arch" \
    "$root/scripts/$script" >"$work/$script.out" 2>&1
  cat "$work/$script.out"
  count_from "scripts/$script" "$work/$script.out"
done
