#!/usr/bin/env bash
# Assimilator script for the stock script_assimilator: takes the results.jsonl
# of a unit's canonical result into the project's ledger.
#
#   assimilate.sh WU_NAME FILE...      (config.xml: --script "assimilate.sh wu_name files")
#   assimilate.sh FILE...              (--script "assimilate.sh files"; paths hold a '/')
#   assimilate.sh --error MASK ARG...  (a unit with no canonical result)
#
# The ledger is <project>/kalvenor/ (the project is KALVENOR_PROJECT_DIR, else
# the directory above this script, which script_assimilator runs from bin/):
#   records.jsonl  every record once, as the hosts wrote it
#   factors.txt    every factor once, "k*2^n+1", ordered by n, then k
#   done.txt       the lines searched completely, once each
#   untested.txt   the lines no kernel serves, once each
#   failed.txt     the units that ended without a canonical result ("NAME LINE")
#   conflicts.txt  the lines with two records at one sieve depth that differ in
#                  their tested counts or residue checksums (both are kept)
#   assimilate.log one line per call
#
# A unit can be assimilated again (the daemon retries one whose script failed
# or was cut short) without changing anything: every ledger only takes what it
# lacks. A record that is malformed, or whose line is not the one issued under
# WU_NAME (issued.txt of make_work.sh), is refused with exit code 1 and nothing
# of that call is kept: script_assimilator stops on it, so the operator sees it
# before more units pile up behind it.
set -euo pipefail
export LC_ALL=C  # byte order for sort and the comparisons of decimals

project=${KALVENOR_PROJECT_DIR:-$(cd "$(dirname "$0")/.." && pwd)}
ledger=$project/kalvenor
mkdir -p "$ledger"
log() { printf '%s %s\n' "$(date -u '+%Y-%m-%dT%H:%M:%SZ')" "$*" >>"$ledger/assimilate.log"; }
fail() { echo "assimilate.sh: $*" >&2; log "REFUSED: $*"; exit 1; }
[ $# -gt 0 ] || { echo "usage: assimilate.sh WU_NAME FILE... | FILE... | --error MASK ARG..." >&2; exit 2; }

# Every call works on the ledger alone: two assimilator daemons (--mod) must
# not interleave their appends or the rewrite of factors.txt.
exec 9>>"$ledger/.lock"
flock -w 600 9 || fail "the ledger stayed locked for 10 minutes"

issued_line() {  # the line issued under unit name $1, if make_work.sh issued it
  [ -f "$ledger/issued.txt" ] || return 0
  awk -v name="$1" '$1 == name { print $2; exit }' "$ledger/issued.txt"
}
add_once() {  # add_once FILE TEXT: appends TEXT as a line unless FILE holds it
  touch "$1"
  grep -Fxq -- "$2" "$1" || printf '%s\n' "$2" >>"$1"
}

if [ "$1" = --error ]; then
  # No canonical result: too many errors or disagreements. It is recorded for
  # the operator to issue again (make_work.sh skips issued names, so under a
  # new name) and not treated as a fault of this script: a nonzero exit would
  # stop the daemon, and every restart would stop again on the same unit.
  mask=${2:-?}
  shift $(($# >= 2 ? 2 : 1))
  name= unit=
  for arg in "$@"; do
    unit=$(issued_line "$arg")
    if [ -n "$unit" ]; then name=$arg; break; fi
  done
  if [ -n "$unit" ]; then
    add_once "$ledger/failed.txt" "$name $unit"
    log "unit $name failed (error mask $mask): $unit"
  else
    log "unit ${*:-?} failed (error mask $mask), not in issued.txt"
  fi
  echo "assimilate.sh: unit ${name:-${*:-?}} has no canonical result (error mask $mask); see $ledger/failed.txt" >&2
  exit 0
fi

name=
if [[ $1 != */* ]] && [ $# -ge 2 ]; then name=$1; shift; fi
expected=
[ -z "$name" ] || expected=$(issued_line "$name")
unit=${name:-$*}

dec_le() {  # dec_le A B: true when the decimal A <= B, at any length
  local a=${1#"${1%%[!0]*}"} b=${2#"${2%%[!0]*}"}
  [ ${#a} -lt ${#b} ] || { [ ${#a} -eq ${#b} ] && [[ ! $a > $b ]]; }
}

re_line='^\{"line":"(FermatFactor=([0-9]+),([0-9]+),([0-9]+),([0-9]+))",'
re_status='"status":"(complete|no kernel)"[,}]'
re_factors='"factors":\[([^]]*)\]'
# A factor as this version writes it, {"factor":"k*2^n+1","m":28} (m null
# for a composite), or as versions before it did, "k*2^n+1".
re_factor='^\{"factor":"([0-9]+)\*2\^([0-9]+)\+1","m":([0-9]+|null)\}$'
re_factor_before='^"([0-9]+)\*2\^([0-9]+)\+1"$'
re_exponents='"sievePrimes":([0-9]+),"exponents":\[([^]]*)\]'
records=() factors=() done_lines=() untested_lines=() conflicts=()

# Whether two records of one line at one sieve depth disagree on what they
# tested: their counts or residue checksums differ, so at least one host's
# arithmetic went wrong.
disagree() {  # disagree RECORD OTHER
  local a b
  [[ $1 =~ $re_exponents ]] || return 1
  a="${BASH_REMATCH[1]} ${BASH_REMATCH[2]}"
  [[ $2 =~ $re_exponents ]] || return 1
  b="${BASH_REMATCH[1]} ${BASH_REMATCH[2]}"
  [ "${a%% *}" = "${b%% *}" ] && [ "$a" != "$b" ]
}
for file in "$@"; do
  [ -f "$file" ] && [ -r "$file" ] || fail "unit $unit: no readable output file '$file'"
  count=0
  while IFS= read -r record || [ -n "$record" ]; do
    [ -n "$record" ] || continue
    [[ $record =~ $re_line && $record == *'}' ]] || fail "unit $unit: '$record' in $file is not a record"
    line=${BASH_REMATCH[1]} n_start=${BASH_REMATCH[2]} n_end=${BASH_REMATCH[3]}
    k_start=${BASH_REMATCH[4]} k_end=${BASH_REMATCH[5]}
    [[ $record =~ $re_status ]] || fail "unit $unit: the record of $line has no known status"
    status=${BASH_REMATCH[1]}
    [[ $record =~ $re_factors ]] || fail "unit $unit: the record of $line has no factor list"
    list=${BASH_REMATCH[1]}
    if [ -n "$expected" ] && [ "$line" != "$expected" ]; then
      fail "unit $name was issued for $expected but its result is for $line"
    fi
    if [ -n "$list" ]; then
      # One item a line: the commas between items, not those inside one.
      if [[ $list == '{'* ]]; then separator='s/},{/}\n{/g'; else separator='s/","/"\n"/g'; fi
      mapfile -t items < <(sed "$separator" <<<"$list")
      for item in "${items[@]}"; do
        [[ $item =~ $re_factor || $item =~ $re_factor_before ]] || fail "unit $unit: factor $item of $line is malformed"
        k=${BASH_REMATCH[1]} n=${BASH_REMATCH[2]}
        # A factor outside the line's range is not one this unit could find.
        dec_le "$n_start" "$n" && dec_le "$n" "$n_end" && dec_le "$k_start" "$k" && dec_le "$k" "$k_end" ||
          fail "unit $unit: factor $k*2^$n+1 lies outside $line"
        factors+=("$k*2^$n+1")
      done
    fi
    # Checked against the ledger's records of the line and this call's.
    others=()
    [ -f "$ledger/records.jsonl" ] && mapfile -t others < <(grep -F "{\"line\":\"$line\"," "$ledger/records.jsonl")
    for other in "${others[@]}" "${records[@]}"; do
      [[ $other == "{\"line\":\"$line\","* ]] && disagree "$record" "$other" && { conflicts+=("$line"); break; }
    done
    records+=("$record")
    if [ "$status" = complete ]; then done_lines+=("$line"); else untested_lines+=("$line"); fi
    count=$((count + 1))
  done <"$file"
  [ "$count" -gt 0 ] || fail "unit $unit: $file holds no record"
done
[ ${#records[@]} -gt 0 ] || fail "unit $unit: no output file given"

# Only now, with every record checked, is anything written. The factors come
# first: should the call be cut short, the next one completes the rest.
touch "$ledger/factors.txt"
merged=$ledger/.factors.$$
{ cat "$ledger/factors.txt"; [ ${#factors[@]} -eq 0 ] || printf '%s\n' "${factors[@]}"; } |
  sed -n 's/^\([0-9][0-9]*\)\*2^\([0-9][0-9]*\)+1$/\2 \1/p' | sort -u -k1,1n -k2,2n |
  sed 's/^\([0-9]*\) \([0-9]*\)$/\2*2^\1+1/' >"$merged"
if cmp -s "$merged" "$ledger/factors.txt"; then rm -f "$merged"; else mv "$merged" "$ledger/factors.txt"; fi
new=0
for record in "${records[@]}"; do
  if [ ! -f "$ledger/records.jsonl" ] || ! grep -Fxq -- "$record" "$ledger/records.jsonl"; then
    printf '%s\n' "$record" >>"$ledger/records.jsonl"
    new=$((new + 1))
  fi
done
for line in "${done_lines[@]}"; do add_once "$ledger/done.txt" "$line"; done
for line in "${untested_lines[@]}"; do add_once "$ledger/untested.txt" "$line"; done
# Both records stay in records.jsonl; the line is flagged for the operator,
# who runs it again on a trusted host.
for line in "${conflicts[@]}"; do
  add_once "$ledger/conflicts.txt" "$line"
  log "CONFLICT: records of $line at one sieve depth differ in tested counts or checksums"
  echo "assimilate.sh: records of $line disagree on their residue checksums; see $ledger/conflicts.txt" >&2
done
log "unit $unit: ${#records[@]} record(s), $new new, factors: ${factors[*]:-none}"
