#!/usr/bin/env bash
# The exchange benchmarks, each beside an isql-fb anchor on the same server
# and data:
#   export of N products (ExportPrices vs isql-fb selecting the same columns
#   into a file), with the export's peak memory;
#   import of N statements into an N-product database (ImportPrices vs
#   isql-fb -i running the same lines, a COMMIT every 250), and a check that
#   both imports leave the same database.
# Usage: eval "$(scripts/servers start)"; bench/exchange/run.sh [build dir]
# N defaults to 100000.
source "$(dirname "$0")/common.sh"

echo "N=$n products; $(nproc) cores; $(isql-fb -z </dev/null 2>&1 | head -1)"
create "$dbdir/bench-head.fdb" 1
create "$dbdir/bench-branch1.fdb" 0.9
create "$dbdir/bench-branch2.fdb" 0.9

# Export, then the anchor.
"$bench" export "$dbdir/bench-head.fdb" "$work/X.SQL"
"$bench" export "$dbdir/bench-head.fdb" "$work/X.SQL"
cat >"$work/select.sql" <<SQL
SET NAMES ISO8859_1;
CONNECT '$conn:$dbdir/bench-head.fdb' USER 'SYSDBA' PASSWORD '$pw';
OUTPUT $work/select.out;
SELECT P.CODIGO, P.PRECOCUSTO, P.LUCRO, P.PRECOFARMACIAPOPULAR, P.PRECOVENDA,
  P.TIPOPROMOCAO, P.INICIOPROM, P.FINALPROM, P.DESCPROMVISTA, P.DESCPROMPRAZO,
  P.PRECOPROMVISTA, P.PRECOPROMPRAZO, P.PROMQTDMINIMAVISTA, P.PROMQTDMINIMAPRAZO,
  P.PROMPAGUEVISTA, P.PROMLEVEVISTA, P.PROMPAGUEPRAZO, P.PROMLEVEPRAZO, P.PROMKITQTDVISTA,
  P.PROMKITVALORVISTA, P.PROMKITQTDPRAZO, P.PROMKITVALORPRAZO, P.PROMSOMENTEFEBRAFAR,
  P.PROMDESCRESIDUALVISTA, P.PROMDESCRESIDUALPRAZO
FROM PRODUTOS P;
SQL
t0=$(now); isql-fb -q -b -i "$work/select.sql" >/dev/null; t1=$(now)
echo "isql-fb select: $n rows in $(elapsed "$t0" "$t1") s ($(wc -c <"$work/select.out") bytes)"
echo "exchange file: $(wc -c <"$work/X.SQL") bytes, $(wc -l <"$work/X.SQL") lines"

# Import, then the anchor on an identical database.
"$bench" import "$dbdir/bench-branch1.fdb" "$work/X.SQL"
{
  echo "SET NAMES ISO8859_1;"
  echo "CONNECT '$conn:$dbdir/bench-branch2.fdb' USER 'SYSDBA' PASSWORD '$pw';"
  tail -n +2 "$work/X.SQL" | tr -d '\r' |
    awk '{ print $0 ";" } NR % 250 == 0 { print "COMMIT;" } END { print "COMMIT;" }'
} >"$work/import.sql"
t0=$(now); isql-fb -q -b -i "$work/import.sql" >/dev/null; t1=$(now)
s=$(elapsed "$t0" "$t1")
echo "isql-fb -i: $n statements in $s s = $(awk -v n="$n" -v s="$s" 'BEGIN { printf "%.0f", n / s }') statements/s"

# Both imports must leave the same rows.
for b in 1 2; do
  cat >"$work/dump$b.sql" <<SQL
SET NAMES ISO8859_1;
CONNECT '$conn:$dbdir/bench-branch$b.fdb' USER 'SYSDBA' PASSWORD '$pw';
OUTPUT $work/dump$b.out;
SELECT * FROM PRODUTOS ORDER BY CODIGO;
SQL
  isql-fb -q -b -i "$work/dump$b.sql" >/dev/null
done
if cmp -s "$work/dump1.out" "$work/dump2.out"; then
  echo "branch databases after both imports: identical"
else
  echo "branch databases after both imports: DIFFERENT"
  exit 1
fi
