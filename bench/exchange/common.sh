# Shared by the exchange benchmarks (sourced): the endpoints, a work folder
# and the databases it drops at exit, timing, and the N-product database.
# shellcheck shell=bash
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
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

