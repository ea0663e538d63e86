#!/usr/bin/env bash
# Builds the transfer fuzz target (clang, libFuzzer + ASan) and runs it in a
# network namespace that holds only loopback: fuzzed PASV replies name
# arbitrary addresses, and there no connection can leave the machine.
# Needs root (unshare -n). Seeds: tests/transfer/fuzz_seeds/. The working
# corpus and crash files go to $FUZZ_DIR (default /tmp/transfer-fuzz).
#   bench/fuzz/run.sh [seconds] [extra libFuzzer flags...]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
seconds=${1:-660}
shift || true
build=${FUZZ_BUILD:-$root/build-fuzz}
dir=${FUZZ_DIR:-/tmp/transfer-fuzz}
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DQUILVANE_FUZZ=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target transfer_fuzz >/dev/null
mkdir -p "$dir/corpus" "$dir/artifacts"
cd "$dir"  # -jobs writes fuzz-0.log here
exec unshare -n sh -c 'ip link set lo up && exec "$@"' sh \
  "$build/tests/transfer/transfer_fuzz" -len_control=0 -max_len=4096 -jobs=1 -workers=1 \
  -timeout=10 -rss_limit_mb=2048 -max_total_time="$seconds" -print_final_stats=1 \
  -artifact_prefix="$dir/artifacts/" "$@" "$dir/corpus" "$root/tests/transfer/fuzz_seeds"
