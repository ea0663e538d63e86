#!/usr/bin/env bash
# SomenteAlterados next to a full apply of the same file, each on its own
# copy of one N-product branch database, in the same run: with 1% of the
# products changed and with every product changed. For each: the time, the
# record versions PRODUTOS gained (fbstat -r -t PRODUTOS, total versions
# after minus before), and a byte-for-byte comparison of the rows after
# both. Then the full apply of the first 10,000 statements next to
# isql-fb -i of the same lines (a COMMIT every 250).
# Usage: eval "$(scripts/servers start)"; bench/exchange/changed.sh [build dir]
source "$(dirname "$0")/common.sh"
echo "N=$n products; $(nproc) cores; load $(cut -d' ' -f1-3 /proc/loadavg); $(date -u '+%F %H:%M UTC')"

# Total record versions of PRODUTOS, as fbstat -r counts them.
versions() {
  fbstat -r -t PRODUTOS -user SYSDBA -password "$pw" "$conn:$1" 2>&1 |
    awk '/total versions:/ { for (i = 1; i <= NF; i++) if ($i == "versions:") { gsub(",", "", $(i + 1)); print $(i + 1) } }' |
    head -1
}

# run <mode> <db> <file>: prints the bench line, then the record versions
# the step added. The old versions are swept first, and a snapshot
# transaction stays open meanwhile so that no version the step makes is
# collected before fbstat counts it.
run() {
  local before after
  gfix -sweep -user SYSDBA -password "$pw" "$conn:$2"
  mkfifo "$work/hold"
  isql-fb -q <"$work/hold" >/dev/null 2>&1 &
  exec 9>"$work/hold"
  printf "CONNECT '%s:%s' USER 'SYSDBA' PASSWORD '%s';\nSET TRANSACTION SNAPSHOT;\nSELECT COUNT(*) FROM RDB\$DATABASE;\n" \
    "$conn" "$2" "$pw" >&9
  sleep 1
  before=$(versions "$2")
  "$bench" "$1" "$2" "$3"
  after=$(versions "$2")
  printf "ROLLBACK;\nQUIT;\n" >&9
  exec 9>&-
  wait
  rm -f "$work/hold"
  echo "$1: record versions of PRODUTOS $before -> $after (+$((after - before)))"
}

create "$dbdir/bench-changed-head.fdb" 1
"$bench" export "$dbdir/bench-changed-head.fdb" "$work/X.SQL" >/dev/null
head -n 10001 "$work/X.SQL" >"$work/X10K.SQL"
# A branch equal to the head office but for 1% of its products, and one
# where every product differs.
create "$dbdir/bench-changed-one.fdb" 1
printf "CONNECT '%s:%s' USER 'SYSDBA' PASSWORD '%s';\nUPDATE PRODUTOS SET PRECOVENDA = PRECOVENDA + 1 WHERE MOD(CAST(SUBSTRING(CODIGO FROM 4) AS INTEGER), 100) = 0;\nCOMMIT;\n" \
  "$conn" "$dbdir/bench-changed-one.fdb" "$pw" >"$work/drift.sql"
isql-fb -q -b -i "$work/drift.sql"
create "$dbdir/bench-changed-all.fdb" 0.9
sleep 2  # let the server close the templates' files

for kind in one all; do
  echo "--- $kind: $n statements"
  full=$(copy "$dbdir/bench-changed-$kind.fdb" full-$kind)
  only=$(copy "$dbdir/bench-changed-$kind.fdb" only-$kind)
  run import "$full" "$work/X.SQL"
  run changed "$only" "$work/X.SQL"
  lines=$(find "$work" -name '*.csv' -path '*Alteracoes*' -exec cat {} + | wc -l)
  echo "changes list: $lines line(s) with the header(s)"
  find "$work" -path '*Alteracoes*' -delete
  dump "$full" "$work/full.out"
  dump "$only" "$work/only.out"
  if cmp -s "$work/full.out" "$work/only.out"; then
    echo "rows after the full apply and after SomenteAlterados: identical"
  else
    echo "rows after the full apply and after SomenteAlterados: DIFFERENT"
    exit 1
  fi
done

echo "--- full apply of 10,000 statements next to isql-fb -i"
"$bench" import "$(copy "$dbdir/bench-changed-all.fdb" p10k)" "$work/X10K.SQL"
isql_import "$(copy "$dbdir/bench-changed-all.fdb" i10k)" "$work/X10K.SQL"
