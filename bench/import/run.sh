#!/usr/bin/env bash
# The import next to isql-fb -i of the same lines (a COMMIT every 250) and
# next to the earlier path (literal EXECUTE BLOCKs of 50), each on its own
# copy of one 100,000-product database, for a 10,000- and a 100,000-statement
# file; a file with 1,000 codes the branch lacks; and a check that the
# import and isql-fb leave identical rows.
# Usage: eval "$(scripts/servers start)"; bench/import/run.sh [build dir]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$root/build}
bench=$build/bench/import/import_bench
export_bench=$build/bench/exchange/exchange_bench
n=${N:-100000}
: "${QUILVANE_FB_HOST:?eval \"\$(scripts/servers start)\" first}"
conn="$QUILVANE_FB_HOST/$QUILVANE_FB_PORT"
pw=$QUILVANE_FB_SYSDBA_PASSWORD
dbdir=$QUILVANE_FB_DIR
work=$(mktemp -d)
dbs=()
cleanup() {
  for db in "${dbs[@]}"; do rm -f "$db"; done
  rm -rf "$work"
}
trap cleanup EXIT

now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", b - a }'; }

# copy <template> <name>: a fresh copy the server may open.
copy() {
  local db="$dbdir/bench-import-$2.fdb"
  dbs+=("$db")
  cp "$1" "$db"
  chown --reference="$1" "$db"
  echo "$db"
}

isql_import() {  # <db> <file>
  {
    echo "SET NAMES ISO8859_1;"
    echo "CONNECT '$conn:$1' USER 'SYSDBA' PASSWORD '$pw';"
    tail -n +2 "$2" | tr -d '\r' |
      awk '{ print $0 ";" } NR % 250 == 0 { print "COMMIT;" } END { print "COMMIT;" }'
  } >"$work/import.sql"
  local t0 t1
  t0=$(now); isql-fb -q -b -i "$work/import.sql" >/dev/null; t1=$(now)
  local s; s=$(elapsed "$t0" "$t1")
  echo "isql-fb -i: $(($(wc -l <"$2") - 1)) statements in $s s"
}

dump() {  # <db> <out>
  printf "SET NAMES ISO8859_1;\nCONNECT '%s:%s' USER 'SYSDBA' PASSWORD '%s';\nOUTPUT %s;\nSELECT * FROM PRODUTOS ORDER BY CODIGO;\n" \
    "$conn" "$1" "$pw" "$2" >"$work/dump.sql"
  isql-fb -q -b -i "$work/dump.sql" >/dev/null
}

echo "N=$n products; $(nproc) cores; $(isql-fb -z </dev/null 2>&1 | head -1)"
# create <db> <price factor>: the exchange benchmark's N-product database.
source <(sed -n '/^create() {/,/^}/p' "$root/bench/exchange/run.sh")
create "$dbdir/bench-import-head.fdb" 1
create "$dbdir/bench-import-branch.fdb" 0.9
"$export_bench" export "$dbdir/bench-import-head.fdb" "$work/X.SQL" >/dev/null
head -n 10001 "$work/X.SQL" >"$work/X10K.SQL"
# 1,000 statements for codes the branch lacks, spread over the file.
awk -v every=$((n / 1000)) 'NR > 1 && (NR - 2) % every == 0 { sub(/CODIGO = '"'"'/, "CODIGO = '"'"'ZZ") } { print }' \
  "$work/X.SQL" >"$work/XU.SQL"
sleep 2  # let the server close the template's file

for file in X10K X; do
  lines=$(($(wc -l <"$work/$file.SQL") - 1))
  echo "--- $lines statements"
  "$bench" prepared "$(copy "$dbdir/bench-import-branch.fdb" p-$file)" "$work/$file.SQL"
  "$bench" textblocks "$(copy "$dbdir/bench-import-branch.fdb" t-$file)" "$work/$file.SQL"
  isql_import "$(copy "$dbdir/bench-import-branch.fdb" i-$file)" "$work/$file.SQL"
done
echo "--- $n statements, 1,000 of them for codes the branch lacks"
"$bench" prepared "$(copy "$dbdir/bench-import-branch.fdb" p-XU)" "$work/XU.SQL"

dump "$dbdir/bench-import-p-X.fdb" "$work/p.out"
dump "$dbdir/bench-import-i-X.fdb" "$work/i.out"
if cmp -s "$work/p.out" "$work/i.out"; then
  echo "rows after the import and after isql-fb -i: identical"
else
  echo "rows after the import and after isql-fb -i: DIFFERENT"
  exit 1
fi
