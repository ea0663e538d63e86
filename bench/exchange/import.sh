#!/usr/bin/env bash
# The import next to isql-fb -i of the same lines (a COMMIT every 250) and
# next to the earlier path (literal EXECUTE BLOCKs of 50), each on its own
# copy of one 100,000-product database, for a 10,000- and a 100,000-statement
# file; a file with 1,000 codes the branch lacks; and a check that the
# import and isql-fb leave identical rows.
# Usage: eval "$(scripts/servers start)"; bench/exchange/import.sh [build dir]
source "$(dirname "$0")/common.sh"
echo "N=$n products; $(nproc) cores; $(isql-fb -z </dev/null 2>&1 | head -1)"
create "$dbdir/bench-import-head.fdb" 1
create "$dbdir/bench-import-branch.fdb" 0.9
"$bench" export "$dbdir/bench-import-head.fdb" "$work/X.SQL" >/dev/null
head -n 10001 "$work/X.SQL" >"$work/X10K.SQL"
# 1,000 statements for codes the branch lacks, spread over the file.
awk -v every=$((n / 1000)) 'NR > 1 && (NR - 2) % every == 0 { sub(/CODIGO = '"'"'/, "CODIGO = '"'"'ZZ") } { print }' \
  "$work/X.SQL" >"$work/XU.SQL"
sleep 2  # let the server close the template's file

for file in X10K X; do
  lines=$(($(wc -l <"$work/$file.SQL") - 1))
  echo "--- $lines statements"
  "$bench" import "$(copy "$dbdir/bench-import-branch.fdb" p-$file)" "$work/$file.SQL"
  "$bench" textblocks "$(copy "$dbdir/bench-import-branch.fdb" t-$file)" "$work/$file.SQL"
  isql_import "$(copy "$dbdir/bench-import-branch.fdb" i-$file)" "$work/$file.SQL"
done
echo "--- $n statements, 1,000 of them for codes the branch lacks"
"$bench" import "$(copy "$dbdir/bench-import-branch.fdb" p-XU)" "$work/XU.SQL"

dump "$dbdir/bench-import-p-X.fdb" "$work/p.out"
dump "$dbdir/bench-import-i-X.fdb" "$work/i.out"
if cmp -s "$work/p.out" "$work/i.out"; then
  echo "rows after the import and after isql-fb -i: identical"
else
  echo "rows after the import and after isql-fb -i: DIFFERENT"
  exit 1
fi
