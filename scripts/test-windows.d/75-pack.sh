# shellcheck shell=bash disable=SC2016,SC2034,SC2154  # clauses are evaluated by `that`
# -PACK and -UNPACK by hand.

pack_round_trip() {
  local pack="$work/pack" rc1 rc2
  local sql="$pack/$digits.SQL"
  mkdir -p "$pack/out"
  write_exchange_file "$sql" 7891000000000
  head -c 200000 /dev/urandom | base64 >>"$sql"
  cp "$sql" "$pack/original"
  w 60 "$exe" -PACK "$(winpath "$sql")" >"$work/pack.out" 2>&1; rc1=$?
  rm -f "$sql"
  w 60 "$exe" -UNPACK "$(winpath "$pack/$digits.ZIP")" "$(winpath "$pack/out")" \
    >>"$work/pack.out" 2>&1; rc2=$?
  that '[ $rc1 -eq 0 ] && [ $rc2 -eq 0 ]'
  that 'cmp -s "$pack/original" "$pack/out/$digits.SQL"'
  that 'unzip -l "$pack/$digits.ZIP" 2>/dev/null | grep -q "$digits.SQL"'
  show '"rc=$rc1/$rc2"' '"$(cat "$work/pack.out")"'
}

check "-PACK then -UNPACK round-trip a file" pack_round_trip
