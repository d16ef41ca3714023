#!/usr/bin/env bash
# Runs the project operator's side of boinc/ against a fake BOINC project:
#
#   tests/boinc/operator-test.sh [path/to/kalvenor]     (or KALVENOR=...)
#
# Any build of kalvenor will do (it cuts the line and runs the units). The
# project's bin/stage_file and bin/create_work are stand-ins that check how
# they are called (from the project directory, each input staged before the
# unit that names it, templates that exist, no unit name twice) and record it.
#
# The checks: make_work.sh cuts a line with a known factor into units that
# hold every odd multiplier at every exponent exactly once, each input file
# holding exactly its unit's line, each unit with its sieve depth and an
# estimate from its cost; a second run creates nothing; a dry run and a
# refused line create nothing; another sieve depth gets units of its own; a
# template that sets the per-unit values and a failing stage_file are refused. Then every unit is run the way a client runs it (its input
# file as worktodo.txt, the template's command line) and the records add up to
# one run of the whole line. assimilate.sh takes the units into the ledger,
# a second time changes no byte of it, and a record of another unit, a broken
# record and a missing file are refused without touching it; a unit that
# failed is recorded and can be issued again.
set -uo pipefail
export LC_ALL=C

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
boinc=$(cd "$here/../../boinc" && pwd)

program=${1:-${KALVENOR:-}}
[ -n "$program" ] || { echo "usage: operator-test.sh path/to/kalvenor (or set KALVENOR)" >&2; exit 2; }
[ -x "$program" ] || { echo "operator-test.sh: $program is not an executable" >&2; exit 2; }
program=$(cd "$(dirname "$program")" && pwd)/$(basename "$program")

line=FermatFactor=36,37,25709300001,25709340001
factor='25709319373*2^36+1'
units=3

tmp=$(mktemp -d /tmp/kalvenor-boinc-operator.XXXXXX)
trap 'rm -rf "$tmp"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }
# Bounded: a hung tool or program fails the test instead of stalling CI.
run_limited() { timeout 120 "$@"; }

project=$tmp/project
mkdir -p "$project/bin" "$project/templates" "$project/download" "$project/db"
touch "$project/config.xml"
cp "$boinc/templates/kalvenor_in.xml" "$boinc/templates/kalvenor_out.xml" "$project/templates/"
cp "$boinc/assimilate.sh" "$project/bin/"
calls=$tmp/calls.log

# stage_file as the real one is used here: one path, moved into the download
# directory; the same name with other contents is refused.
cat >"$project/bin/stage_file" <<'EOF'
#!/usr/bin/env bash
[ -f config.xml ] || { echo "stage_file: not run from the project directory" >&2; exit 1; }
[ $# -eq 1 ] && [ -f "$1" ] || { echo "stage_file: want one existing file, got: $*" >&2; exit 1; }
target=download/$(basename "$1")
if [ -e "$target" ] && ! cmp -s "$1" "$target"; then echo "stage_file: $target exists with other contents" >&2; exit 1; fi
mv "$1" "$target"
echo "stage_file $(basename "$1")" >>"$CALLS"
EOF
# create_work --stdin: the options make_work.sh must give for the whole call
# (the estimate and bound among them), then per line a unit's name, its
# command line and its input, staged first; the database refuses a name it
# holds. One file per unit in db/: app, templates, input, the operator's
# options, estimate, bound, command line.
cat >"$project/bin/create_work" <<'EOF'
#!/usr/bin/env bash
[ -f config.xml ] || { echo "create_work: not run from the project directory" >&2; exit 1; }
app= wu= result= est= bound= stdin=0 extra=()
while [ $# -gt 0 ]; do
  case $1 in
    --appname) app=$2; shift 2 ;;
    --wu_template) wu=$2; shift 2 ;;
    --result_template) result=$2; shift 2 ;;
    --rsc_fpops_est) est=$2; shift 2 ;;
    --rsc_fpops_bound) bound=$2; shift 2 ;;
    --stdin) stdin=1; shift ;;
    --*) extra+=("$1" "$2"); shift 2 ;;
    *) echo "create_work: input '$1' outside --stdin" >&2; exit 1 ;;
  esac
done
[ "$stdin" = 1 ] && [ -n "$app" ] && [ -n "$est" ] && [ -n "$bound" ] || { echo "create_work: no --stdin, --appname or estimates" >&2; exit 1; }
[ -f "$wu" ] && [ -f "$result" ] || { echo "create_work: templates '$wu' '$result' not in the project" >&2; exit 1; }
while IFS= read -r line; do
  eval "job=($line)"
  name= command= inputs=()
  set -- "${job[@]}"
  while [ $# -gt 0 ]; do
    case $1 in
      --wu_name) name=$2; shift 2 ;;
      --command_line) command=$2; shift 2 ;;
      --*) echo "create_work: '$1' in a job line" >&2; exit 1 ;;
      *) inputs+=("$1"); shift ;;
    esac
  done
  [ -n "$name" ] || { echo "create_work: a job without --wu_name" >&2; exit 1; }
  [ ${#inputs[@]} -eq 1 ] && [ -f "download/${inputs[0]}" ] || { echo "create_work: input '${inputs[*]}' not staged" >&2; exit 1; }
  [ ! -e "db/$name" ] || { echo "create_work: unit $name exists" >&2; exit 1; }
  printf '%s\n' "$app" "$wu" "$result" "${inputs[0]}" "${extra[*]}" "$est" "$bound" "$command" >"db/$name"
  echo "create_work $name" >>"$CALLS"
done
EOF
chmod +x "$project/bin/stage_file" "$project/bin/create_work"
export CALLS=$calls
: >"$calls"

make_work() { run_limited "$boinc/make_work.sh" --project "$project" --kalvenor "$program" "$@"; }

# ---- make_work.sh
if make_work "$line" "$units" -- --priority 3 >"$tmp/make.out" 2>&1; then
  pass "make_work.sh: $(tail -n 1 "$tmp/make.out")"
else
  fail "make_work.sh exited with $?:"; cat "$tmp/make.out"
fi
mapfile -t names < <(ls "$project/db")
[ ${#names[@]} -ge "$units" ] && pass "${#names[@]} units created" || fail "${#names[@]} units created, at least $units wanted"
[ "$(grep -c '^stage_file ' "$calls")" -eq ${#names[@]} ] || fail "$(grep -c '^stage_file ' "$calls") files staged for ${#names[@]} units"
# Every unit: its own input file holding its line alone, the stock templates,
# the operator's options passed on, the host sieve's depth for n = 36 on its
# command line, an estimate of its own with a bound 20 times as high, and a
# line in the issue ledger.
unit_lines=()
for name in "${names[@]}"; do
  mapfile -t record <"$project/db/$name"
  input=$project/download/${record[3]}
  issued=$(awk -v n="$name" '$1 == n { print $2 }' "$project/kalvenor/issued.txt")
  unit_lines+=("$issued")
  [ "${record[0]}" = kalvenor ] || fail "$name: app '${record[0]}'"
  [ "${record[1]}" = templates/kalvenor_in.xml ] && [ "${record[2]}" = templates/kalvenor_out.xml ] ||
    fail "$name: templates '${record[1]}' '${record[2]}'"
  [ "${record[4]}" = "--priority 3" ] || fail "$name: create_work options '${record[4]}'"
  [ "${record[7]}" = "--sieve-primes 200000" ] || fail "$name: command line '${record[7]}'"
  awk -v e="${record[5]}" -v b="${record[6]}" 'BEGIN { exit !(e >= 1e9 && b == 20 * e) }' ||
    fail "$name: estimate '${record[5]}', bound '${record[6]}'"
  [[ $issued =~ ^FermatFactor=[0-9]+,[0-9]+,[0-9]+,[0-9]+$ ]] || fail "$name: issued as '$issued'"
  cmp -s "$input" <(printf '%s\n' "$issued") ||
    fail "$name: input ${record[3]} holds other bytes than its line '$issued' and a newline: $(od -c "$input" | head -n 3)"
  IFS=, read -r n1 n2 k1 k2 <<<"${issued#FermatFactor=}"
  [ "$name" = "kalvenor_${n1}_${n2}_${k1}_${k2}_p200000" ] || fail "unit $name runs $issued"
done
[ "$failures" -eq 0 ] && pass "each input file holds exactly its unit's line"

# The units together: at every exponent of the line, the odd multipliers of
# its k range each in exactly one unit. (Below 2^63, so shell arithmetic.)
IFS=, read -r n_start n_end k_start k_end <<<"${line#FermatFactor=}"
odd_up() { echo $(($1 | 1)); }
odd_down() { echo $(($1 % 2 ? $1 : $1 - 1)); }
covered=1
for ((n = n_start; n <= n_end; n++)); do
  next=$(odd_up "$k_start")
  while read -r a b; do
    [ "$(odd_up "$a")" -eq "$next" ] || { fail "n=$n: units jump from k=$next to k=$a"; covered=0; break; }
    next=$(($(odd_down "$b") + 2))
  done < <(for u in "${unit_lines[@]}"; do
             IFS=, read -r a b c d <<<"${u#FermatFactor=}"
             [ "$a" -le "$n" ] && [ "$n" -le "$b" ] && echo "$c $d"
           done | sort -n -k1,1)
  [ "$next" -eq $(($(odd_down "$k_end") + 2)) ] || { fail "n=$n: units end before k=$k_end (next k $next)"; covered=0; }
done
[ "$covered" = 1 ] && pass "the units hold every odd k of $line at every n exactly once"

# Issuing the same line again creates nothing.
before=$(wc -l <"$calls")
make_work "$line" "$units" >"$tmp/make2.out" 2>&1 || fail "make_work.sh again exited with $?"
[ "$(wc -l <"$calls")" -eq "$before" ] && pass "a second make_work.sh creates nothing" ||
  { fail "a second make_work.sh called the tools again:"; tail -n +$((before + 1)) "$calls"; }

# A dry run at another depth names its own template and units, and changes nothing.
snapshot() { (cd "$project" && find . -type f ! -name '*.log' | sort | xargs md5sum); }
snapshot >"$tmp/before"
make_work --dry-run --sieve-primes 100000 "$line" "$units" >"$tmp/dry.out" 2>&1 || fail "dry run exited with $?"
snapshot >"$tmp/after"
grep -q -- '--wu_name kalvenor_36_[0-9_]*_p100000 --command_line "--sieve-primes 100000"' "$tmp/dry.out" ||
  { fail "dry run does not name the other depth's units and command line:"; cat "$tmp/dry.out"; }
cmp -s "$tmp/before" "$tmp/after" && [ "$(wc -l <"$calls")" -eq "$before" ] && pass "a dry run changes nothing" ||
  { fail "a dry run changed the project:"; diff "$tmp/before" "$tmp/after"; }

# A line the program refuses creates nothing.
if make_work FermatFactor=36,31,5,9 2 >"$tmp/bad.out" 2>&1; then fail "make_work.sh took a bad line"; fi
snapshot >"$tmp/after"
cmp -s "$tmp/before" "$tmp/after" && [ "$(wc -l <"$calls")" -eq "$before" ] && pass "a refused line creates nothing" ||
  fail "a refused line changed the project"

# Another depth for real: units of their own running it, from the same template.
make_work --sieve-primes 100000 "$line" 1 >"$tmp/depth.out" 2>&1 || { fail "make_work.sh at depth 100000 exited with $?"; cat "$tmp/depth.out"; }
depth_units=("$project"/db/*_p100000)
if [ -f "${depth_units[0]}" ] && [ "$(sed -n 8p "${depth_units[0]}")" = "--sieve-primes 100000" ] &&
   [ "$(sed -n 2p "${depth_units[0]}")" = templates/kalvenor_in.xml ]; then
  pass "depth 100000: units of their own with that depth on their command line"
else
  fail "depth 100000: no unit running it"; cat "$tmp/depth.out"
fi

# A template that sets what each unit sets is refused; so is a failing
# stage_file, whose message (on its standard output) is shown.
cp "$project/templates/kalvenor_in.xml" "$tmp/in.xml"
sed -i 's|<workunit>|<workunit><rsc_fpops_est>1e15</rsc_fpops_est>|' "$project/templates/kalvenor_in.xml"
if make_work --tag t1 "$line" 1 >"$tmp/est.out" 2>&1 || ! grep -q 'rsc_fpops_est' "$tmp/est.out"; then
  fail "a template with <rsc_fpops_est> was not refused:"; cat "$tmp/est.out"
else
  pass "a template with <rsc_fpops_est> is refused"
fi
cp "$tmp/in.xml" "$project/templates/kalvenor_in.xml"
mv "$project/bin/stage_file" "$tmp/stage_file"
printf '#!/bin/sh\necho "stage_file: download directory full"\nexit 1\n' >"$project/bin/stage_file"
chmod +x "$project/bin/stage_file"
if make_work --tag t2 "$line" 1 >"$tmp/stage.out" 2>&1 || ! grep -q 'download directory full' "$tmp/stage.out"; then
  fail "a failing stage_file: exit 0 or its message lost:"; cat "$tmp/stage.out"
else
  pass "a failing stage_file stops make_work.sh with its message"
fi
mv "$tmp/stage_file" "$project/bin/stage_file"
compgen -G "$project/db/*_t[12]" >/dev/null && fail "units created by a refused run"

# ---- the units run as a client runs them, and the whole line once
run_unit() {  # run_unit DIR INPUT COMMAND_LINE: the program's exit code
  local arguments
  read -ra arguments <<<"$3"
  mkdir -p "$1" && cp "$2" "$1/worktodo.txt"
  (cd "$1" && run_limited "$program" "${arguments[@]}" >console.txt 2>&1)
}
tested() {  # tested FILE...: "n count" per exponent, summed over every record
  cat "$@" | grep -o '"n":[0-9]*,"tested":[0-9]*' | tr -c '0-9\n' ' ' |
    awk '{ sum[$1] += $2 } END { for (n in sum) print n, sum[n] }' | sort -n
}
outputs=()
for name in "${names[@]}"; do
  mapfile -t record <"$project/db/$name"
  run_unit "$tmp/host/$name" "$project/download/${record[3]}" "${record[7]}"
  status=$?
  [ "$status" -eq 6 ] || { fail "$name ran with exit code $status:"; tail -n 20 "$tmp/host/$name/console.txt"; }
  out=$tmp/host/$name/results.jsonl
  [ -f "$out" ] && [ "$(wc -l <"$out")" -eq 1 ] || fail "$name: results.jsonl holds no single record"
  outputs+=("$out")
done
printf '%s\n' "$line" >"$tmp/whole.txt"
run_unit "$tmp/host/whole" "$tmp/whole.txt" "--sieve-primes 200000"
status=$?
[ "$status" -eq 6 ] || fail "the whole line ran with exit code $status"
if [ "$(tested "${outputs[@]}")" = "$(tested "$tmp/host/whole/results.jsonl")" ] && [ -n "$(tested "${outputs[@]}")" ]; then
  pass "the units test exactly the candidates of one run of the whole line: $(tested "${outputs[@]}" | tr '\n' ' ')"
else
  fail "units tested '$(tested "${outputs[@]}" | tr '\n' ' ')', the whole line '$(tested "$tmp/host/whole/results.jsonl" | tr '\n' ' ')'"
fi

# ---- assimilate.sh, from the project's bin/ as script_assimilator runs it
assimilate_all() {
  local i
  for i in "${!names[@]}"; do
    (cd "$project/bin" && run_limited ./assimilate.sh "${names[$i]}" "${outputs[$i]}") || fail "assimilate.sh ${names[$i]} exited with $?"
  done
}
ledger=$project/kalvenor
assimilate_all
[ "$(cat "$ledger/factors.txt" 2>/dev/null)" = "$factor" ] && pass "the ledger's factors: $factor" ||
  fail "the ledger's factors.txt holds '$(cat "$ledger/factors.txt" 2>/dev/null)', not $factor"
[ "$(cat "${outputs[@]}")" = "$(cat "$ledger/records.jsonl" 2>/dev/null)" ] && pass "records.jsonl holds each unit's record" ||
  fail "records.jsonl differs from the units' records"
[ "$(printf '%s\n' "${unit_lines[@]}" | sort)" = "$(sort "$ledger/done.txt" 2>/dev/null)" ] && pass "done.txt holds every unit's line once" ||
  fail "done.txt holds '$(cat "$ledger/done.txt" 2>/dev/null)'"
ledger_sum() { (cd "$ledger" && md5sum records.jsonl factors.txt done.txt 2>/dev/null); }
ledger_sum >"$tmp/ledger1"
assimilate_all
ledger_sum >"$tmp/ledger2"
cmp -s "$tmp/ledger1" "$tmp/ledger2" && pass "assimilating every unit again changes nothing" ||
  fail "assimilating again changed the ledger"

refused() {  # refused WHAT ARGS...: assimilate.sh must fail and leave the ledger be
  local what=$1; shift
  if (cd "$project/bin" && run_limited ./assimilate.sh "$@") >/dev/null 2>&1; then
    fail "assimilate.sh took $what"
  else
    ledger_sum >"$tmp/ledger3"
    cmp -s "$tmp/ledger1" "$tmp/ledger3" && pass "refused, ledger untouched: $what" || fail "$what changed the ledger"
  fi
}
refused "another unit's record" "${names[0]}" "${outputs[1]}"
head -c 60 "${outputs[0]}" >"$tmp/broken.jsonl"
refused "a cut-off record" "${names[0]}" "$tmp/broken.jsonl"
# The factor moved to an exponent its unit does not hold (the line stops at 37).
for i in "${!names[@]}"; do
  grep -qF "\"$factor\"" "${outputs[$i]}" || continue
  sed 's/"25709319373\*2^36+1"/"25709319373*2^38+1"/' "${outputs[$i]}" >"$tmp/outside.jsonl"
  refused "a factor outside its line" "${names[$i]}" "$tmp/outside.jsonl"
done
refused "a missing output file" "${names[0]}" "$tmp/no-such/results.jsonl"

# A second record of a unit's line at the same depth whose checksum differs
# (a host whose arithmetic went wrong): both kept, the line flagged, exit 0.
sed -E 's/"checksum":"0/"checksum":"X/; s/"checksum":"[1-9a-f]/"checksum":"0/; s/"checksum":"X/"checksum":"1/' \
  "${outputs[0]}" >"$tmp/disagreeing.jsonl"
if (cd "$project/bin" && run_limited ./assimilate.sh "${names[0]}" "$tmp/disagreeing.jsonl") >/dev/null 2>"$tmp/conflict.err" &&
   [ "$(cat "$ledger/conflicts.txt" 2>/dev/null)" = "${unit_lines[0]}" ] &&
   grep -qxF "$(cat "$tmp/disagreeing.jsonl")" "$ledger/records.jsonl" && grep -qxF "$(cat "${outputs[0]}")" "$ledger/records.jsonl" &&
   grep -q "disagree" "$tmp/conflict.err"; then
  pass "records of one line whose checksums differ: both kept, the line in conflicts.txt"
else
  fail "disagreeing records: conflicts.txt holds '$(cat "$ledger/conflicts.txt" 2>/dev/null)'; $(cat "$tmp/conflict.err")"
fi

# A unit without a canonical result: recorded for issuing again, and exit 0 so
# the daemon goes on to the next unit.
if (cd "$project/bin" && run_limited ./assimilate.sh --error 8 "${names[1]}" 1234) >/dev/null 2>&1 &&
   [ "$(cat "$ledger/failed.txt" 2>/dev/null)" = "${names[1]} ${unit_lines[1]}" ]; then
  pass "a unit without a canonical result is recorded in failed.txt"
else
  fail "a unit without a canonical result: failed.txt holds '$(cat "$ledger/failed.txt" 2>/dev/null)'"
fi

# ... and issued again under a tag, as one unit holding the same line.
if make_work --tag r1 "${unit_lines[1]}" 1 >"$tmp/again.out" 2>&1 && [ -f "$project/db/${names[1]}_r1" ] &&
   cmp -s "$project/download/${names[1]}_r1.worktodo" <(printf '%s\n' "${unit_lines[1]}"); then
  pass "the failed unit issued again as ${names[1]}_r1"
else
  fail "issuing the failed unit again under a tag:"; cat "$tmp/again.out"
fi

if [ "$failures" -ne 0 ]; then
  echo "operator test: $failures failure(s)"
  exit 1
fi
echo "operator test passed"
