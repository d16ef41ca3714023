#!/usr/bin/env bash
# Runs the BOINC build of kalvenor standalone, with no client, the way a task
# runs in a slot directory: worktodo.txt beside it, the command line
# boinc/make_work.sh gives a unit at n = 36 (the host sieve's depth pinned).
#
#   tests/boinc/standalone-test.sh path/to/boinc-build/kalvenor
#
# The checks:
#   - the known factor's range ends through boinc_finish(0): exit code 0 and
#     boinc_finish_called holding 0, the factor in factors.txt and in the one
#     record of results.jsonl;
#   - a longer range stopped by SIGTERM once it has found its factor ends with
#     exit code 143 and a checkpoint, and a rerun continues it ("Continue
#     range") to exit code 0;
#   - two complete runs of that range write the same results.jsonl, byte for
#     byte, and so does the stopped and continued one, factor included: hosts
#     that validate against each other must agree however often they stopped;
#   - a unit that leaves no record fails: a line refused (a missing field,
#     kStart > kEnd, a misspelt keyword), or a file of blank lines, ends
#     through boinc_finish with exit code 1, the reason in stderr.txt; an
#     empty file whose record was written before a restart is done (0);
#   - --cut, --help and --version never start the client library: nothing
#     is written to the directory, and the cut's notes reach standard error.
# The runs use two CPUs where taskset can pin them, so the range lasts about
# as long everywhere and the stop lands before the end.
set -uo pipefail
export LC_ALL=C

program=${1:-}
[ -n "$program" ] || { echo "usage: standalone-test.sh path/to/boinc-build/kalvenor" >&2; exit 2; }
[ -x "$program" ] || { echo "standalone-test.sh: $program is not an executable" >&2; exit 2; }
program=$(cd "$(dirname "$program")" && pwd)/$(basename "$program")
arguments=(--sieve-primes 200000)

short=FermatFactor=36,36,25709300001,25709340001
# The factor lies a sixth of the way into this range: 7 to 10 s on two cores.
long=FermatFactor=36,36,25000000001,29000000001
factor='25709319373*2^36+1'

tmp=$(mktemp -d /tmp/kalvenor-boinc-standalone.XXXXXX)
pid=
cleanup() {
  [ -z "$pid" ] || kill -KILL "$pid" 2>/dev/null
  rm -rf "$tmp"
}
trap cleanup EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }

pin=()
if command -v taskset >/dev/null 2>&1; then
  # The first two CPUs this process may use, from a list like "0-3,8".
  cpus=$(taskset -pc $$ 2>/dev/null | sed 's/.*: *//' | tr ',' '\n' |
         awk -F- '{ last = NF > 1 ? $2 : $1; for (c = $1; c <= last; c++) print c }' | head -n 2 | paste -sd,)
  [ -z "$cpus" ] || pin=(taskset -c "$cpus")
fi

prepare() {  # prepare DIR LINE
  mkdir -p "$1" && printf '%s\n' "$2" >"$1/worktodo.txt"
}
run() {  # run DIR: the exit code of a run to its end, bounded
  (cd "$1" && timeout 300 "${pin[@]}" "$program" "${arguments[@]}" >>console.txt 2>&1)
}
console() {  # everything the runs in DIR printed, wherever the BOINC runtime put it
  cat "$1"/console.txt "$1"/stdout.txt "$1"/stderr.txt 2>/dev/null
}
continued() {  # the rerun in DIR said it continued; not piped, or grep's early exit fails the pipe
  grep -qF "Continue range" < <(console "$1")
}
records() {  # the records of DIR/results.jsonl
  [ -f "$1/results.jsonl" ] && grep -c . "$1/results.jsonl" || echo 0
}
finished_with_zero() {  # boinc_finish(0) leaves its status in boinc_finish_called
  [ -f "$1/boinc_finish_called" ] && [ "$(head -n 1 "$1/boinc_finish_called" | tr -d ' \r')" = 0 ]
}
check_complete() {  # check_complete DIR WHAT LINE: one complete record of LINE with the factor
  local record
  record=$(cat "$1/results.jsonl" 2>/dev/null)
  [ "$(records "$1")" -eq 1 ] || { fail "$2: results.jsonl holds $(records "$1") records, not 1"; return; }
  [[ $record == "{\"line\":\"$3\","* ]] || fail "$2: the record is not of $3: $record"
  [[ $record == *"\"factors\":[{\"factor\":\"$factor\",\"m\":28}]"* ]] || fail "$2: the record lacks the factor of F28: $record"
  [[ $record == *'"status":"complete"'* ]] || fail "$2: the record is not complete: $record"
  grep -q FermatFactor "$1/worktodo.txt" 2>/dev/null && fail "$2: the line is still in worktodo.txt"
  grep -qF "$factor" "$1/factors.txt" 2>/dev/null || fail "$2: $factor not in factors.txt"
}

# ---- (a) the known factor, to the end
dir=$tmp/short
prepare "$dir" "$short"
run "$dir"
status=$?
if [ "$status" -eq 0 ] && finished_with_zero "$dir"; then
  pass "the known factor's range ends with exit code 0 through boinc_finish(0)"
else
  fail "the known factor's range: exit code $status, boinc_finish_called '$(cat "$dir/boinc_finish_called" 2>/dev/null)'"
  console "$dir" | tail -n 20
fi
before=$failures
check_complete "$dir" "known factor" "$short"
[ "$failures" -eq "$before" ] && pass "$factor in factors.txt and results.jsonl"

# ---- (b) stopped by SIGTERM once the factor is found, then continued
dir=$tmp/stopped
prepare "$dir" "$long"
(cd "$dir" && exec "${pin[@]}" "$program" "${arguments[@]}" >console.txt 2>&1) &
pid=$!
for ((tenth = 0; tenth < 1200; tenth++)); do
  grep -qF "$factor" "$dir/factors.txt" 2>/dev/null && break
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
kill -TERM "$pid" 2>/dev/null
# The batch in flight is finished first; bounded in case the stop never comes.
for ((tenth = 0; tenth < 1200; tenth++)); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$pid" 2>/dev/null && { kill -KILL "$pid"; fail "no stop within 120 s of SIGTERM"; }
wait "$pid"
status=$?
pid=
if [ "$status" -eq 143 ] && [ -f "$dir/kalvenor.cpt" ]; then
  pass "SIGTERM after the factor: exit code 143 and a checkpoint"
elif [ "$status" -eq 0 ]; then
  fail "the long range ended before SIGTERM reached it (exit code 0): too short for this machine"
else
  # A process killed by the signal reads as 143 too; only the graceful stop
  # logs its line in results.txt.
  fail "SIGTERM: exit code $status, checkpoint $([ -f "$dir/kalvenor.cpt" ] && echo present || echo missing)," \
    "stop $(grep -q 'stopped by signal 15' "$dir/results.txt" 2>/dev/null && echo logged || echo 'not logged: killed, not stopped')"
  console "$dir" | tail -n 20
fi
[ "$(records "$dir")" -eq 0 ] || fail "a record was written for a line that was stopped"
run "$dir"
status=$?
if [ "$status" -eq 0 ] && finished_with_zero "$dir" && continued "$dir"; then
  pass "the rerun continues the range and ends with exit code 0"
else
  fail "the rerun: exit code $status, 'Continue range' $(continued "$dir" && echo printed || echo missing)"
  console "$dir" | tail -n 20
fi
check_complete "$dir" "stopped and continued" "$long"

# ---- (c) the same bytes from every run of the long range
for copy in 1 2; do
  prepare "$tmp/whole$copy" "$long"
  run "$tmp/whole$copy"
  status=$?
  [ "$status" -eq 0 ] || { fail "complete run $copy: exit code $status"; console "$tmp/whole$copy" | tail -n 20; }
  check_complete "$tmp/whole$copy" "complete run $copy" "$long"
done
if [ -s "$tmp/whole1/results.jsonl" ] && cmp -s "$tmp/whole1/results.jsonl" "$tmp/whole2/results.jsonl"; then
  pass "two complete runs write byte-identical results.jsonl"
else
  fail "two complete runs differ:"; cat "$tmp/whole1/results.jsonl" "$tmp/whole2/results.jsonl" 2>/dev/null
fi
if [ -s "$dir/results.jsonl" ] && cmp -s "$tmp/whole1/results.jsonl" "$dir/results.jsonl"; then
  pass "the stopped and continued run writes the same bytes"
else
  fail "the stopped and continued run differs:"; cat "$tmp/whole1/results.jsonl" "$dir/results.jsonl" 2>/dev/null
fi

# ---- (d) units that leave no record fail; a record left before a restart is done
finish_status() { head -n 1 "$1/boinc_finish_called" 2>/dev/null | tr -d ' \r'; }
while IFS='|' read -r name content record status reason; do
  dir=$tmp/unit-$name
  mkdir -p "$dir" && printf "$content" >"$dir/worktodo.txt"
  [ -z "$record" ] || cp "$tmp/whole1/results.jsonl" "$dir/results.jsonl"
  run "$dir"
  got=$?
  if [ "$got" -eq "$status" ] && [ "$(finish_status "$dir")" = "$status" ] &&
     { [ -z "$reason" ] || grep -qF -- "$reason" "$dir/stderr.txt" 2>/dev/null; }; then
    pass "$name: exit code $status through boinc_finish${reason:+, stderr.txt says why}"
  else
    fail "$name: exit code $got (not $status), boinc_finish_called '$(finish_status "$dir")'," \
      "stderr.txt: $(tr '\n' ' ' <"$dir/stderr.txt" 2>/dev/null)"
  fi
  if [ -z "$record" ] && [ -s "$dir/results.jsonl" ]; then fail "$name: a record was written"; fi
done <<'UNITS'
missing-field|FermatFactor=36,36,25709300001\n||1|cannot run: The ending value for k (kEnd) was not set
k-reversed|FermatFactor=36,36,25709340001,25709300001\n||1|cannot run: The ending value for k (kEnd) was not set or less
misspelt|FermatFactr=36,36,25709300001,25709340001\n||1|cannot run: it does not begin with FermatFactor=
bad-second-line|FermatFactor=36,36,25709300001,25709340001\nFermatFactor=36,36,9,3\n||1|'FermatFactor=36,36,9,3' cannot run
blank-lines|\n  \n||1|holds no assignment and results.jsonl no record
empty-after-record||record|0|
UNITS

# ---- (e) a person's commands start no client library
dir=$tmp/commands
mkdir -p "$dir"
(cd "$dir" && "$program" --cut 3 FermatFactor=32,40,100,10000000000 >cut.out 2>cut.err)
status=$?
left=$(cd "$dir" && ls | grep -v '^cut\.' | paste -sd' ')
if [ "$status" -eq 0 ] && [ "$(grep -c '^FermatFactor=' "$dir/cut.out")" -ge 3 ] && [ -s "$dir/cut.err" ] && [ -z "$left" ]; then
  pass "--cut: units on standard output, its notes on standard error, nothing written"
else
  fail "--cut: exit code $status, output '$(head -c 300 "$dir/cut.out" | tr '\n' ' ')'," \
    "notes '$(head -c 300 "$dir/cut.err" | tr '\n' ' ')', files left: ${left:-none}"
fi
for command in --help --version; do
  (cd "$dir" && "$program" "$command" >command.out 2>&1)
  status=$?
  left=$(cd "$dir" && ls | grep -v '^c' | paste -sd' ')
  if [ "$status" -eq 0 ] && [ -s "$dir/command.out" ] && [ -z "$left" ]; then
    pass "$command: printed, nothing written"
  else
    fail "$command: exit code $status, files left: ${left:-none}"
  fi
done

if [ "$failures" -ne 0 ]; then
  echo "standalone test: $failures failure(s)"
  exit 1
fi
echo "standalone test passed"
