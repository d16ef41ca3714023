#!/usr/bin/env bash
# Runs scripts/slurm-array.sh and scripts/slurm-collect.sh against a real
# one-node Slurm started here for the purpose:
#
#   tests/slurm/array-test.sh [path/to/kalvenor]     (or KALVENOR=...)
#
# It starts its own munged, slurmctld and slurmd, all on a socket, ports and
# directories of their own under a temporary directory, so a Slurm or munge
# already on the machine is neither used nor disturbed, and stops them on
# every way out. Needs root (slurmd runs the tasks). Skipped, with exit code
# 0, only where the Slurm daemons or munged are not installed.
#
# The checks: the known factor of F28 found by an array of 4 units, the units'
# records adding up to exactly the candidates a single run of the whole line
# tests, collecting twice giving the same files, lost or unrun units named
# with a resubmission that, when run, completes them, two records of a unit
# whose checksums differ named, and refused input making nothing.
set -uo pipefail
export LC_ALL=C
export PATH=$PATH:/usr/sbin:/sbin

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
scripts=$(cd "$here/../../scripts" && pwd)

for daemon in munged slurmctld slurmd; do
  if ! command -v "$daemon" >/dev/null 2>&1; then
    echo "slurm array test skipped: $daemon is not installed (apt-get install slurmd slurmctld slurm-client munge)"
    exit 0
  fi
done
if [ "$(id -u)" -ne 0 ]; then
  echo "slurm array test skipped: slurmd must run as root to start the tasks"
  exit 0
fi

program=${1:-${KALVENOR:-}}
[ -n "$program" ] || { echo "usage: array-test.sh path/to/kalvenor (or set KALVENOR)" >&2; exit 2; }
[ -x "$program" ] || { echo "array-test.sh: $program is not an executable" >&2; exit 2; }
program=$(cd "$(dirname "$program")" && pwd)/$(basename "$program")
for tool in sbatch squeue sinfo scontrol scancel; do
  command -v "$tool" >/dev/null 2>&1 || { echo "array-test.sh: $tool missing (package slurm-client)" >&2; exit 1; }
done

line=FermatFactor=36,36,25709300001,25709340001
factor='25709319373*2^36+1'
units=4
wait_limit=${KALVENOR_SLURM_WAIT:-300}

tmp=$(mktemp -d /tmp/kalvenor-slurm.XXXXXX)
# munged insists that everyone may pass through the directories above its socket.
chmod 755 "$tmp"
job=""
ctld_pid=""
slurmd_pid=""

show_logs() {
  for log in "$tmp"/munged.log "$tmp"/slurmctld.log "$tmp"/slurmd.log "$tmp"/*.out "$tmp"/run/unit-*/slurm-*.out; do
    [ -f "$log" ] || continue
    echo "---- $log (last 40 lines)"
    tail -n 40 "$log"
  done
}

stop_pid() {  # stop_pid PID: TERM, then KILL after 10 s
  local pid=$1 i
  kill -TERM "$pid" 2>/dev/null || return 0
  for ((i = 0; i < 100; i++)); do
    kill -0 "$pid" 2>/dev/null || return 0
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null || true
}

cleanup() {
  local code=$?
  trap - EXIT INT TERM HUP
  if [ -n "$ctld_pid" ] && kill -0 "$ctld_pid" 2>/dev/null; then
    # Tasks still running would outlive slurmd in their slurmstepd.
    # Only this test's jobs: SLURM_CONF points at the controller started here.
    timeout 15 scancel --quiet --user="$(id -un)" >/dev/null 2>&1 || true
    for ((i = 0; i < 30; i++)); do
      [ -z "$(timeout 10 squeue -h 2>/dev/null)" ] && break
      sleep 0.5
    done
  fi
  [ -n "$slurmd_pid" ] && stop_pid "$slurmd_pid"
  [ -n "$ctld_pid" ] && stop_pid "$ctld_pid"
  if [ -f "$tmp/munged.pid" ]; then
    stop_pid "$(cat "$tmp/munged.pid")"
  fi
  if [ "$code" -ne 0 ]; then
    show_logs
    echo "slurm array test FAILED (files kept in $tmp)"
  else
    rm -rf "$tmp"
  fi
  exit "$code"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

fail() { echo "FAIL: $*"; exit 1; }

# Sums the "tested" counts of every exponent of every record in a file.
tested_sum() { grep -oE '"tested":[0-9]+' "$1" | cut -d: -f2 | awk '{ s += $1 } END { print s + 0 }'; }

# A port nothing listens on yet, from /proc rather than a tool that may be missing.
used_ports=$(awk 'NR > 1 && $4 == "0A" { split($2, a, ":"); print a[2] }' /proc/net/tcp /proc/net/tcp6 2>/dev/null |
  while read -r hex; do echo $((16#$hex)); done)
free_port() {
  local port
  for ((port = $1; port < $1 + 1000; port++)); do
    grep -qx "$port" <<<"$used_ports" || { echo "$port"; used_ports+=$'\n'$port; return; }
  done
  fail "no free TCP port from $1"
}

# ---- a run of the whole line, the figure the units must add up to ----------
# Before the daemons and the array, so it has the cores to itself.
mkdir "$tmp/direct"
printf '%s\n' "$line" >"$tmp/direct/worktodo.txt"
(cd "$tmp/direct" && timeout 120 "$program" --device cpu >"$tmp/direct.out" 2>&1)
code=$?
[ "$code" -eq 6 ] || fail "the direct run of $line ended with exit code $code, not 6"
[ -s "$tmp/direct/results.jsonl" ] || fail "the direct run wrote no results.jsonl"
whole=$(tested_sum "$tmp/direct/results.jsonl")
[ "$whole" -gt 0 ] || fail "the direct run's record counts no tested candidates"
echo "direct run: $whole candidates tested"

# ---- munge: a key and a daemon of our own ------------------------------------
if command -v mungekey >/dev/null 2>&1; then
  mungekey --create --keyfile="$tmp/munge.key" >/dev/null 2>&1 || true
fi
[ -s "$tmp/munge.key" ] || dd if=/dev/urandom of="$tmp/munge.key" bs=1024 count=1 status=none
chmod 400 "$tmp/munge.key"
munge_options=(--socket="$tmp/munge.sock" --key-file="$tmp/munge.key" --pid-file="$tmp/munged.pid"
  --log-file="$tmp/munged.log" --seed-file="$tmp/munged.seed")
# Some munge builds refuse root without --force; the key and socket here are ours.
if ! munged "${munge_options[@]}" 2>"$tmp/munged.err"; then
  munged --force "${munge_options[@]}" 2>>"$tmp/munged.err" || fail "munged did not start: $(cat "$tmp/munged.err")"
fi
for ((i = 0; i < 50; i++)); do
  [ -S "$tmp/munge.sock" ] && break
  sleep 0.1
done
munge -n -S "$tmp/munge.sock" | unmunge -S "$tmp/munge.sock" >/dev/null || fail "munged does not answer on its socket"

# ---- slurmctld and slurmd ----------------------------------------------------
node=$(hostname -s)
mkdir -p "$tmp/state" "$tmp/spool"
ctld_port=$(free_port 26817)
slurmd_port=$(free_port $((ctld_port + 1)))
cat >"$tmp/slurm.conf" <<EOF
ClusterName=kalvenortest
SlurmctldHost=$node(127.0.0.1)
SlurmctldPort=$ctld_port
SlurmdPort=$slurmd_port
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$tmp/munge.sock
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
MpiDefault=none
SelectType=select/cons_tres
SelectTypeParameters=CR_Core
ReturnToService=2
KillWait=5
StateSaveLocation=$tmp/state
SlurmdSpoolDir=$tmp/spool
SlurmctldPidFile=$tmp/slurmctld.pid
SlurmdPidFile=$tmp/slurmd.pid
SlurmctldLogFile=$tmp/slurmctld.log
SlurmdLogFile=$tmp/slurmd.log
NodeName=$node NodeAddr=127.0.0.1 CPUs=$(nproc) State=UNKNOWN
PartitionName=debug Nodes=$node Default=YES MaxTime=INFINITE State=UP
EOF
export SLURM_CONF=$tmp/slurm.conf
# In the foreground of a background job, so their ids are known for the stop.
slurmctld -D -i >"$tmp/slurmctld.out" 2>&1 &
ctld_pid=$!
slurmd -D >"$tmp/slurmd.out" 2>&1 &
slurmd_pid=$!
state=""
for ((i = 0; i < 120; i++)); do
  kill -0 "$ctld_pid" 2>/dev/null || fail "slurmctld stopped"
  kill -0 "$slurmd_pid" 2>/dev/null || fail "slurmd stopped"
  state=$(timeout 10 sinfo -h -N -n "$node" -o %t 2>/dev/null || true)
  [ "$state" = idle ] && break
  sleep 0.5
done
[ "$state" = idle ] || fail "node $node not idle after 60 s (state '$state')"
echo "slurm: node $node idle, slurmctld on port $ctld_port"

wait_for_job() {  # wait_for_job ID: until no task of it waits or runs
  local i
  for ((i = 0; i < wait_limit; i++)); do
    [ -z "$(timeout 10 squeue -h -j "$1" 2>/dev/null)" ] && return 0
    sleep 1
  done
  fail "job $1 still in the queue after $wait_limit s: $(squeue -j "$1")"
}

export KALVENOR=$program
export KALVENOR_ARGS="--device cpu"

# ---- refused input makes no run directory and submits nothing ----------------
for bad in "FermatFactor=36,35,3,100 4" "FermatFactor=36,36,3,100 0" "Factor=36,36,3,100 4" "FermatFactor=36,36,3,100 x"; do
  read -r bad_line bad_units <<<"$bad"
  if KALVENOR_RUN_DIR=$tmp/refused "$scripts/slurm-array.sh" "$bad_line" "$bad_units" >"$tmp/refused.out" 2>&1; then
    fail "slurm-array.sh took '$bad_line' '$bad_units': $(cat "$tmp/refused.out")"
  fi
  [ -e "$tmp/refused" ] && fail "slurm-array.sh left $tmp/refused behind after refusing '$bad'"
done
[ -z "$(timeout 10 squeue -h)" ] || fail "something was submitted for refused input: $(squeue)"
# sbatch itself refusing (no such partition) must leave nothing behind either.
if KALVENOR_RUN_DIR=$tmp/refused "$scripts/slurm-array.sh" "$line" "$units" --partition=nosuchpartition >"$tmp/refused.out" 2>&1; then
  fail "slurm-array.sh reported success for a partition that does not exist"
fi
[ -e "$tmp/refused" ] && fail "slurm-array.sh kept a run directory for a job sbatch refused"

# ---- the array ------------------------------------------------------------
run=$tmp/run
KALVENOR_RUN_DIR=$run "$scripts/slurm-array.sh" "$line" "$units" --time=10 >"$tmp/array.out" 2>&1 ||
  fail "slurm-array.sh failed: $(cat "$tmp/array.out")"
cat "$tmp/array.out"
job=$(cat "$run/job-id.txt" 2>/dev/null)
[[ $job =~ ^[0-9]+$ ]] || fail "no job id in $run/job-id.txt"
count=$(wc -l <"$run/assignments.txt")
[ "$count" -ge "$units" ] || fail "$count units where at least $units were asked for"
wait_for_job "$job"

# Every task must end as Slurm's success: the program's "work done" (6) is
# the task's 0, and anything else would show as a failed unit.
tasks=$(scontrol -o show job "$job" 2>/dev/null)
finished_tasks=$(grep -c 'JobState=COMPLETED .*ExitCode=0:0' <<<"$tasks" || true)
[ "$finished_tasks" -eq "$count" ] || fail "$finished_tasks of $count array tasks completed with exit code 0:
$(grep -oE 'ArrayTaskId=[0-9]+|JobState=[A-Z_]+|ExitCode=[0-9:]+' <<<"$tasks" | paste -sd' ')"

"$scripts/slurm-collect.sh" "$run" >"$tmp/collect.out" 2>&1
code=$?
cat "$tmp/collect.out"
[ "$code" -eq 0 ] || fail "slurm-collect.sh ended with $code after every unit finished"
grep -qxF "$factor" "$run/factors.txt" || fail "$factor is not in the merged factors.txt"
[ "$(wc -l <"$run/results.jsonl")" -eq "$count" ] ||
  fail "$(wc -l <"$run/results.jsonl") records merged for $count units"
for ((i = 1; i <= count; i++)); do
  record=$(sed -n "${i}p" "$run/results.jsonl")
  unit_line=$(sed -n "${i}p" "$run/assignments.txt")
  grep -qF "\"line\":\"$unit_line\"" <<<"$record" || fail "record $i is not of unit $i's line $unit_line: $record"
  grep -qF '"status":"complete"' <<<"$record" || fail "record $i is not complete: $record"
done
parts=$(tested_sum "$run/results.jsonl")
[ "$parts" -eq "$whole" ] || fail "the units tested $parts candidates, the whole line $whole"
echo "array: $count units, $parts candidates tested, as many as the whole line"

cp "$run/results.jsonl" "$tmp/results.first"
cp "$run/factors.txt" "$tmp/factors.first"
# Collected again without the units' factors.txt, the records alone must
# carry the factor.
mkdir "$tmp/unit-factors"
for f in "$run"/unit-*/factors.txt; do mv "$f" "$tmp/unit-factors/$(basename "$(dirname "$f")")"; done
"$scripts/slurm-collect.sh" "$run" >/dev/null 2>&1 || fail "collecting a second time failed"
for f in "$tmp"/unit-factors/*; do mv "$f" "$run/$(basename "$f")/factors.txt"; done
cmp -s "$run/results.jsonl" "$tmp/results.first" || fail "a second collect changed results.jsonl"
cmp -s "$run/factors.txt" "$tmp/factors.first" || fail "a second collect changed factors.txt"

# ---- units to run again ----------------------------------------------------
# Unit 2 lost its record; the last unit never ran (its line is back and its
# files are gone). Collect must name both, with the one command that reruns them.
last=$count
unit2=$(printf '%s/unit-%04d' "$run" 2)
unit_last=$(printf '%s/unit-%04d' "$run" "$last")
rm -f "$unit2/results.jsonl"
sed -n "${last}p" "$run/assignments.txt" >"$unit_last/worktodo.txt"
rm -f "$unit_last/results.jsonl" "$unit_last/factors.txt" "$unit_last/results.txt"
"$scripts/slurm-collect.sh" "$run" >"$tmp/collect.out" 2>&1
code=$?
cat "$tmp/collect.out"
[ "$code" -ne 0 ] || fail "slurm-collect.sh ended with 0 with two units unfinished"
grep -q "unit-0002 .*no record" "$tmp/collect.out" || fail "unit 2 without its record not named"
grep -q "$(basename "$unit_last") .*worktodo" "$tmp/collect.out" || fail "unit $last with its line back not named"
resubmit=$(grep -E '^ +sbatch ' "$tmp/collect.out" | sed 's/^ *//')
[ "$resubmit" = "sbatch --array=2,$last --time=10 $run/job.sh" ] ||
  fail "resubmission '$resubmit', not 'sbatch --array=2,$last --time=10 $run/job.sh'"
[ "$(wc -l <"$run/results.jsonl")" -eq $((count - 2)) ] || fail "unfinished units' records merged"
# Whichever unit found it, its factors.txt still names the factor.
grep -qxF "$factor" "$run/factors.txt" || fail "a factor of an unfinished unit left out of factors.txt"

# Run the printed command as a user would, and the run must be whole again,
# with the very files of the first collect.
second=$(eval "$resubmit") || fail "'$resubmit' failed"
second=${second##* }
wait_for_job "$second"
"$scripts/slurm-collect.sh" "$run" >"$tmp/collect.out" 2>&1
code=$?
[ "$code" -eq 0 ] || fail "after the resubmission, slurm-collect.sh still ended with $code: $(cat "$tmp/collect.out")"
cmp -s "$run/results.jsonl" "$tmp/results.first" || fail "results.jsonl after the rerun differs from the first: $(diff "$tmp/results.first" "$run/results.jsonl")"
cmp -s "$run/factors.txt" "$tmp/factors.first" || fail "factors.txt after the rerun differs from the first"
echo "rerun: units 2 and $last done again, the merged files as before"

# A second record of unit 1's line whose checksum differs: named, and the
# collect is not clean.
unit1=$(printf '%s/unit-%04d' "$run" 1)
cp "$unit1/results.jsonl" "$tmp/unit1.jsonl"
sed -E 's/"checksum":"0/"checksum":"X/; s/"checksum":"[1-9a-f]/"checksum":"0/; s/"checksum":"X/"checksum":"1/' \
  "$tmp/unit1.jsonl" >>"$unit1/results.jsonl"
"$scripts/slurm-collect.sh" "$run" >"$tmp/collect.out" 2>&1
code=$?
[ "$code" -eq 1 ] || fail "records that disagree: slurm-collect.sh ended with $code"
grep -A3 "disagree on tested counts or residue checksums" "$tmp/collect.out" | grep -q "unit-0001" ||
  fail "unit 1's disagreeing records not named: $(cat "$tmp/collect.out")"
cp "$tmp/unit1.jsonl" "$unit1/results.jsonl"
"$scripts/slurm-collect.sh" "$run" >/dev/null 2>&1 || fail "collecting after the records agree again failed"
echo "slurm array test passed"
