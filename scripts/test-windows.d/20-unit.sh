# shellcheck shell=bash disable=SC2016,SC2034,SC2154  # clauses are evaluated by `that`
# The platform layer's Windows side: its GoogleTest programs under Wine.

platform_unit_tests() {
  local unit="$work/platform_windows_test.exe" out rc
  that '[ -d "$gtest_src" ]' || { show '"no $gtest_src (Debian libgtest-dev)"'; return; }
  that 'gtest_objects "$cxx" "$build" && windows_test_program "$cxx" "$build" "$unit" \
    "$root"/tests/windows/platform_*_windows_test.cc "$build/platform/libquilvane_platform.a" \
    -static -lws2_32 2>"$work/unit-build.log"' || { show '"$(tail -20 "$work/unit-build.log")"'; return; }
  out=$(w 120 "$unit" 2>&1); rc=$?
  note=": $(echo "$out" | grep -E '^\[  (PASSED|FAILED)  \]' | head -1 | tr -d '\r')"
  that '[ $rc -eq 0 ]'
  show '"$(echo "$out" | grep -E "FAILED|Failure|error" | head -20)"'
}

check "platform layer unit tests under Wine" platform_unit_tests
