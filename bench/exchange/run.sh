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
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$root/build}
bench=$build/bench/exchange/exchange_bench
n=${N:-100000}
: "${QUILVANE_FB_HOST:?eval \"\$(scripts/servers start)\" first}"
conn="$QUILVANE_FB_HOST/$QUILVANE_FB_PORT"
pw=$QUILVANE_FB_SYSDBA_PASSWORD
dbdir=$QUILVANE_FB_DIR
work=$(mktemp -d)
dbs=()
cleanup() {
  for db in "${dbs[@]}"; do
    printf "CONNECT '%s:%s' USER 'SYSDBA' PASSWORD '%s';\nDROP DATABASE;\n" "$conn" "$db" "$pw" \
      >"$work/drop.sql"
    isql-fb -q -i "$work/drop.sql" >/dev/null 2>&1 || true
  done
  rm -rf "$work"
}
trap cleanup EXIT

now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", b - a }'; }

# create <db> <price factor>
create() {
  local db=$1 f=$2
  dbs+=("$db")
  rm -f "$db"
  cat >"$work/create.sql" <<SQL
SET NAMES ISO8859_1;
CREATE DATABASE '$conn:$db' USER 'SYSDBA' PASSWORD '$pw' DEFAULT CHARACTER SET ISO8859_1;
CREATE TABLE PRODUTOS (
  CODIGO VARCHAR(20) NOT NULL PRIMARY KEY,
  DESCRICAO VARCHAR(60),
  PRECOCUSTO NUMERIC(15,2), LUCRO NUMERIC(15,4), PRECOFARMACIAPOPULAR NUMERIC(15,2),
  PRECOVENDA NUMERIC(15,2), TIPOPROMOCAO CHAR(1), INICIOPROM DATE, FINALPROM DATE,
  DESCPROMVISTA NUMERIC(9,2), DESCPROMPRAZO NUMERIC(9,2), PRECOPROMVISTA NUMERIC(15,2),
  PRECOPROMPRAZO NUMERIC(15,2), PROMQTDMINIMAVISTA NUMERIC(15,3),
  PROMQTDMINIMAPRAZO NUMERIC(15,3), PROMPAGUEVISTA NUMERIC(15,3), PROMLEVEVISTA NUMERIC(15,3),
  PROMPAGUEPRAZO NUMERIC(15,3), PROMLEVEPRAZO NUMERIC(15,3), PROMKITQTDVISTA NUMERIC(15,3),
  PROMKITVALORVISTA NUMERIC(15,2), PROMKITQTDPRAZO NUMERIC(15,3),
  PROMKITVALORPRAZO NUMERIC(15,2), PROMSOMENTEFEBRAFAR CHAR(1),
  PROMDESCRESIDUALVISTA NUMERIC(15,2), PROMDESCRESIDUALPRAZO NUMERIC(15,2));
COMMIT;
SET TERM ^;
EXECUTE BLOCK AS DECLARE I INTEGER = 1; BEGIN
  WHILE (I <= $n) DO BEGIN
    INSERT INTO PRODUTOS (CODIGO, DESCRICAO, PRECOCUSTO, LUCRO, PRECOFARMACIAPOPULAR,
      PRECOVENDA, TIPOPROMOCAO, INICIOPROM, FINALPROM, DESCPROMVISTA, PRECOPROMVISTA,
      PROMKITQTDVISTA, PROMKITVALORVISTA, PROMSOMENTEFEBRAFAR)
    VALUES ('789' || LPAD(:I, 10, '0'), 'PRODUTO ' || :I, MOD(:I, 997) * $f + 0.25, 35.5,
      IIF(MOD(:I, 7) = 0, 9.99 * $f, NULL), MOD(:I, 997) * $f * 1.355 + 1,
      IIF(MOD(:I, 10) = 0, '1', NULL), IIF(MOD(:I, 10) = 0, DATE '2023-10-01', NULL),
      IIF(MOD(:I, 10) = 0, DATE '2023-10-31', NULL), IIF(MOD(:I, 10) = 0, 5, NULL),
      IIF(MOD(:I, 10) = 0, MOD(:I, 997) * $f * 1.2 + 1, NULL), IIF(MOD(:I, 13) = 0, 3, NULL),
      IIF(MOD(:I, 13) = 0, 39.9 * $f, NULL), 'N');
    I = I + 1;
  END
END^
SET TERM ;^
COMMIT;
SQL
  isql-fb -q -b -i "$work/create.sql" >&2
}

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
