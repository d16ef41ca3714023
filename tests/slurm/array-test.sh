#!/usr/bin/env bash
# Runs scripts/slurm-array.sh and scripts/slurm-collect.sh against a real
# one-node Slurm started here for the purpose:
#
#   tests/slurm/array-test.sh [path/to/kalvenor]     (or KALVENOR=...)
#
# It starts its own munged and two Slurm clusters of one node each, one
# tracking processes by cgroup (as production clusters do: Slurm's SIGTERM
# reaches the job script alone) and one by process group (the job script and
# the program both get it), all on a socket, ports and directories of their
# own under a temporary directory, so a Slurm or munge already on the machine
# is neither used nor disturbed, and stops them on every way out. Where no
# cgroup file system can be written, both track by process group, and the
# output says so. Needs root (slurmd runs the tasks). Skipped, with exit code
# 0, only where the Slurm daemons or munged are not installed.
#
# The checks: on each cluster a real time limit (--time=1), a real scancel
# and the warning the job script asks for before its limit each stop a unit
# with a checkpoint written at the stop; the resubmission collect prints
# continues each from its checkpoint, and the records equal an uninterrupted
# run's. Then the known factor of F28 found by an array of 4 units (at most 3
# at once), the units' records adding up to exactly the candidates a single
# run of the whole line tests, collecting twice giving the same files, lost
# or unrun units named with a resubmission that, when run, completes them,
# two records of one unit named and merged once (or not at all where their
# checksums differ), and refused input making nothing.
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
throttle=3
# About 40 CPU-seconds in three exponents: six of these at once on two cores
# are still in the middle of their line when the stops come (30-90 s in).
stop_line=FermatFactor=36,38,25709300001,30209300001
wait_limit=${KALVENOR_SLURM_WAIT:-600}

tmp=$(mktemp -d /tmp/kalvenor-slurm.XXXXXX)
# munged insists that everyone may pass through the directories above its socket.
chmod 755 "$tmp"
clusters=()
declare -A ctld_pid=() slurmd_pid=() tracking=()

show_logs() {
  for log in "$tmp"/munged.log "$tmp"/*/slurmctld.log "$tmp"/*/slurmd.log "$tmp"/*.out "$tmp"/run/unit-*/slurm-*.out \
    "$tmp"/stops/*/unit-*/slurm-*.out "$tmp"/stops/*/unit-*/results.txt; do
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

stop_cluster() {  # stop_cluster NAME: its jobs cancelled, its daemons stopped
  local name=$1 i
  export SLURM_CONF=$tmp/$name/slurm.conf
  if [ -n "${ctld_pid[$name]:-}" ] && kill -0 "${ctld_pid[$name]}" 2>/dev/null; then
    # Tasks still running would outlive slurmd in their slurmstepd.
    # Only this test's jobs: SLURM_CONF points at the controller started here.
    timeout 15 scancel --quiet --user="$(id -un)" >/dev/null 2>&1 || true
    for ((i = 0; i < 30; i++)); do
      [ -z "$(timeout 10 squeue -h 2>/dev/null)" ] && break
      sleep 0.5
    done
  fi
  [ -n "${slurmd_pid[$name]:-}" ] && stop_pid "${slurmd_pid[$name]}"
  [ -n "${ctld_pid[$name]:-}" ] && stop_pid "${ctld_pid[$name]}"
  ctld_pid[$name]=""
  slurmd_pid[$name]=""
}

cleanup() {
  local code=$?
  trap - EXIT INT TERM HUP
  [ -n "${direct_pid:-}" ] && stop_pid "$direct_pid"
  for name in "${clusters[@]}"; do
    stop_cluster "$name"
  done
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

# ---- two one-node clusters: cgroup and process-group tracking ---------------
node=$(hostname -s)

# start_cluster NAME TRACKING NODENAME: slurmctld and slurmd of a cluster of
# one node, on ports, a state and spool directory and logs of their own.
start_cluster() {
  local name=$1 track=$2 nodename=$3 dir=$tmp/$1 i state="" ctld_port slurmd_port
  mkdir -p "$dir/state" "$dir/spool"
  # free_port runs in a subshell here and cannot note what it gave: each
  # cluster looks from a start of its own.
  ctld_port=$(free_port $((26817 + 20 * ${#clusters[@]})))
  slurmd_port=$(free_port $((ctld_port + 1)))
  # Sixteen CPUs advertised (config_overrides), so that every task of the
  # test runs at once on a small machine.
  cat >"$dir/slurm.conf" <<EOF
ClusterName=kalvenor$name
SlurmctldHost=$node(127.0.0.1)
SlurmctldPort=$ctld_port
SlurmdPort=$slurmd_port
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$tmp/munge.sock
ProctrackType=proctrack/$track
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
MpiDefault=none
SelectType=select/cons_tres
SelectTypeParameters=CR_Core
SlurmdParameters=config_overrides
ReturnToService=2
KillWait=10
MinJobAge=3600
StateSaveLocation=$dir/state
SlurmdSpoolDir=$dir/spool
SlurmctldPidFile=$dir/slurmctld.pid
SlurmdPidFile=$dir/slurmd.pid
SlurmctldLogFile=$dir/slurmctld.log
SlurmdLogFile=$dir/slurmd.log
NodeName=$nodename NodeHostname=$node NodeAddr=127.0.0.1 CPUs=16 State=UNKNOWN
PartitionName=debug Nodes=$nodename Default=YES MaxTime=INFINITE State=UP
EOF
  # cgroup v2 where the machine has it unified, else the v1 freezer.
  if [ -f /sys/fs/cgroup/cgroup.controllers ]; then
    printf 'CgroupPlugin=cgroup/v2\nCgroupMountpoint=/sys/fs/cgroup\nIgnoreSystemd=yes\n' >"$dir/cgroup.conf"
  else
    printf 'CgroupPlugin=cgroup/v1\nCgroupMountpoint=/sys/fs/cgroup\nCgroupAutomount=no\n' >"$dir/cgroup.conf"
  fi
  clusters+=("$name")
  tracking[$name]=$track
  export SLURM_CONF=$dir/slurm.conf
  # In the foreground of a background job, so their ids are known for the stop.
  slurmctld -D -i >"$dir/slurmctld.out" 2>&1 &
  ctld_pid[$name]=$!
  slurmd -D >"$dir/slurmd.out" 2>&1 &
  slurmd_pid[$name]=$!
  for ((i = 0; i < 120; i++)); do
    kill -0 "${ctld_pid[$name]}" 2>/dev/null || { echo "slurmctld of $name stopped"; return 1; }
    kill -0 "${slurmd_pid[$name]}" 2>/dev/null || { echo "slurmd of $name stopped"; return 1; }
    state=$(timeout 10 sinfo -h -N -n "$nodename" -o %t 2>/dev/null || true)
    [ "$state" = idle ] && break
    sleep 0.5
  done
  [ "$state" = idle ] || { echo "node $nodename of $name not idle after 60 s (state '$state')"; return 1; }
  # A job that does nothing must run, or the tracking does not work here.
  local probe
  probe=$(sbatch --parsable --output=/dev/null --wrap=true 2>&1) || { echo "sbatch on $name: $probe"; return 1; }
  for ((i = 0; i < 60; i++)); do
    [ -z "$(timeout 10 squeue -h -j "$probe" 2>/dev/null)" ] && break
    sleep 0.5
  done
  grep -q 'JobState=COMPLETED' <<<"$(scontrol -o show job "$probe" 2>/dev/null)" ||
    { echo "a trivial job did not complete on $name: $(scontrol -o show job "$probe" 2>/dev/null)"; return 1; }
  echo "slurm: cluster $name (proctrack/$track), node $nodename idle, slurmctld on port $ctld_port"
}

use() { export SLURM_CONF=$tmp/$1/slurm.conf; }

if ! start_cluster cg cgroup "$node"; then
  echo "NOTE: proctrack/cgroup cannot run a job here (logs below); both clusters track by process group"
  tail -n 5 "$tmp/cg/slurmd.log" "$tmp/cg/slurmctld.log" 2>/dev/null
  stop_cluster cg
  clusters=()
  start_cluster cg pgid "$node" || fail "the fallback cluster did not start"
fi
start_cluster pg pgid kalvenorpg || fail "the process-group cluster did not start"

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

# ---- stops: a time limit, scancel, the warning before the limit ---------------
# Each a run of one unit, on each cluster, all at once, with an uninterrupted
# run of the same line beside them for the records they must end with. The
# units run on two CPUs at most, as on the small machines this was sized on,
# so that on a larger one too the stops land in the middle of the line.
pinned=$program
if command -v taskset >/dev/null 2>&1; then
  pinned=$tmp/kalvenor-pinned
  printf '#!/bin/sh\nexec taskset -c %s %q "$@"\n' "0-$(($(nproc) > 1 ? 1 : 0))" "$program" >"$pinned"
  chmod 755 "$pinned"
fi
mkdir -p "$tmp/stops" "$tmp/stopdirect"
printf '%s\n' "$stop_line" >"$tmp/stopdirect/worktodo.txt"
(cd "$tmp/stopdirect" && exec "$program" --device cpu >"$tmp/stopdirect.out" 2>&1) &
direct_pid=$!
# --time=1: stopped 60-90 s in, with the warning turned into SIGURG (23), which
# the job script leaves alone (the default one would come at once, a limit
# that short being less than its two minutes). --time=3: the job script's own
# --signal=B:TERM@120 warns 60-90 s in, long before the limit. --time=10 and
# a scancel once the line is under way.
declare -A stop_options=([limit]="--time=1 --signal=B:23@10" [warning]=--time=3 [cancel]=--time=10) stop_job=()
for name in cg pg; do
  use "$name"
  for how in limit warning cancel; do
    KALVENOR=$pinned KALVENOR_RUN_DIR=$tmp/stops/$name-$how "$scripts/slurm-array.sh" "$stop_line" 1 ${stop_options[$how]} \
      >"$tmp/stops/$name-$how.out" 2>&1 || fail "slurm-array.sh for $name $how: $(cat "$tmp/stops/$name-$how.out")"
    stop_job[$name-$how]=$(cat "$tmp/stops/$name-$how/job-id.txt")
  done
done
# The scancel, in the background while the array below runs.
(
  for name in cg pg; do
    for ((i = 0; i < 300; i++)); do
      grep -qs 'Testing for n' "$tmp/stops/$name-cancel"/unit-0001/slurm-*.out && break
      sleep 1
    done
  done
  sleep 20
  for name in cg pg; do
    SLURM_CONF=$tmp/$name/slurm.conf scancel "${stop_job[$name-cancel]}"
  done
) &
canceller=$!

# ---- refused input makes no run directory and submits nothing ----------------
use cg
queued=$(timeout 10 squeue -h -o %i)
for bad in "FermatFactor=36,35,3,100 4" "FermatFactor=36,36,3,100 0" "Factor=36,36,3,100 4" "FermatFactor=36,36,3,100 x"; do
  read -r bad_line bad_units <<<"$bad"
  if KALVENOR_RUN_DIR=$tmp/refused "$scripts/slurm-array.sh" "$bad_line" "$bad_units" >"$tmp/refused.out" 2>&1; then
    fail "slurm-array.sh took '$bad_line' '$bad_units': $(cat "$tmp/refused.out")"
  fi
  [ -e "$tmp/refused" ] && fail "slurm-array.sh left $tmp/refused behind after refusing '$bad'"
done
[ -z "$(comm -13 <(sort <<<"$queued") <(timeout 10 squeue -h -o %i | sort))" ] ||
  fail "something was submitted for refused input: $(squeue)"
# sbatch itself refusing (no such partition) must leave nothing behind either.
if KALVENOR_RUN_DIR=$tmp/refused "$scripts/slurm-array.sh" "$line" "$units" --partition=nosuchpartition >"$tmp/refused.out" 2>&1; then
  fail "slurm-array.sh reported success for a partition that does not exist"
fi
[ -e "$tmp/refused" ] && fail "slurm-array.sh kept a run directory for a job sbatch refused"

# ---- the array ------------------------------------------------------------
run=$tmp/run
KALVENOR_RUN_DIR=$run "$scripts/slurm-array.sh" "$line" "$units%$throttle" --time=10 >"$tmp/array.out" 2>&1 ||
  fail "slurm-array.sh failed: $(cat "$tmp/array.out")"
cat "$tmp/array.out"
job=$(cat "$run/job-id.txt" 2>/dev/null)
[[ $job =~ ^[0-9]+$ ]] || fail "no job id in $run/job-id.txt"
count=$(wc -l <"$run/assignments.txt")
[ "$count" -ge "$units" ] || fail "$count units where at least $units were asked for"
grep -q "ArrayTaskThrottle=$throttle" <<<"$(scontrol -o show job "$job")" || fail "no throttle of $throttle on job $job"
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
[ "$resubmit" = "sbatch --array=2,$last%$throttle --time=10 $run/job.sh" ] ||
  fail "resubmission '$resubmit', not 'sbatch --array=2,$last%$throttle --time=10 $run/job.sh'"
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

# A second record of unit 1's line: where it agrees, named and merged once;
# where its checksum differs, named and merged not at all.
unit1=$(printf '%s/unit-%04d' "$run" 1)
cp "$unit1/results.jsonl" "$tmp/unit1.jsonl"
cat "$tmp/unit1.jsonl" >>"$unit1/results.jsonl"
"$scripts/slurm-collect.sh" "$run" >"$tmp/collect.out" 2>&1
code=$?
[ "$code" -eq 0 ] || fail "two agreeing records: slurm-collect.sh ended with $code: $(cat "$tmp/collect.out")"
grep -A1 "more than one record" "$tmp/collect.out" | grep -q "unit-0001 .*agree" ||
  fail "unit 1's second record not named: $(cat "$tmp/collect.out")"
cmp -s "$run/results.jsonl" "$tmp/results.first" || fail "a repeated record was merged twice"
cp "$tmp/unit1.jsonl" "$unit1/results.jsonl"
sed -E 's/"checksum":"0/"checksum":"X/; s/"checksum":"[1-9a-f]/"checksum":"0/; s/"checksum":"X/"checksum":"1/' \
  "$tmp/unit1.jsonl" >>"$unit1/results.jsonl"
"$scripts/slurm-collect.sh" "$run" >"$tmp/collect.out" 2>&1
code=$?
[ "$code" -eq 1 ] || fail "records that disagree: slurm-collect.sh ended with $code"
grep -A3 "disagree on tested counts or residue checksums" "$tmp/collect.out" | grep -q "unit-0001" ||
  fail "unit 1's disagreeing records not named: $(cat "$tmp/collect.out")"
[ "$(grep -c "$(sed -n 1p "$run/assignments.txt")\"" "$run/results.jsonl")" -eq 0 ] ||
  fail "a record of unit 1's disagreeing records was merged"
cp "$tmp/unit1.jsonl" "$unit1/results.jsonl"
"$scripts/slurm-collect.sh" "$run" >/dev/null 2>&1 || fail "collecting after the records agree again failed"
echo "array: done"

# ---- the stops, checked and resumed ------------------------------------------
wait "$canceller"
for name in cg pg; do
  use "$name"
  for how in limit warning cancel; do
    wait_for_job "${stop_job[$name-$how]}"
  done
done
# A time limit ends as TIMEOUT, a scancel as CANCELLED; the warning came long
# before the limit, so that task ended by itself, with the program's 143.
declare -A stop_state=([limit]=TIMEOUT [warning]=FAILED [cancel]=CANCELLED)
for name in cg pg; do
  use "$name"
  for how in limit warning cancel; do
    what="$name (proctrack/${tracking[$name]}) $how"
    dir=$tmp/stops/$name-$how/unit-0001
    job_info=$(scontrol -o show job "${stop_job[$name-$how]}")
    grep -q "JobState=${stop_state[$how]} " <<<"$job_info" ||
      fail "$what: not ${stop_state[$how]}: $(grep -oE 'JobState=[A-Z_]+|ExitCode=[0-9:]+' <<<"$job_info" | paste -sd' ')"
    # The stop is logged with where it left the line, and the checkpoint
    # holds that very position: it was written at the stop.
    stopped=$(grep -oE 'n=[0-9]+: stopped by signal 15 at k=[0-9]+' "$dir/results.txt" 2>/dev/null | tail -n1)
    [[ $stopped =~ ^n=([0-9]+):.*k=([0-9]+)$ ]] || fail "$what: the program logged no stop (killed without a checkpoint)"
    grep -qx "nCurrent=${BASH_REMATCH[1]}" "$dir/kalvenor.cpt" && grep -qx "kCurrent=${BASH_REMATCH[2]}" "$dir/kalvenor.cpt" ||
      fail "$what: kalvenor.cpt does not hold the position of the stop ($stopped): $(head -n2 "$dir/kalvenor.cpt" 2>&1)"
    grep -qxF "$stop_line" "$dir/worktodo.txt" || fail "$what: the line left worktodo.txt"
    echo "$what: $stopped, checkpoint at the stop"
  done
done

# The resubmission collect prints, with a longer limit, continues each unit.
declare -A resumed_job=()
for name in cg pg; do
  use "$name"
  for how in limit warning cancel; do
    run=$tmp/stops/$name-$how
    KALVENOR_TIME=10 "$scripts/slurm-collect.sh" "$run" >"$run.collect" 2>&1
    [ $? -eq 1 ] || fail "$name $how: collect of a stopped unit: $(cat "$run.collect")"
    resubmit=$(grep -E '^ +sbatch ' "$run.collect" | sed 's/^ *//')
    [ "$resubmit" = "sbatch --array=1 ${stop_options[$how]} --time=10 $run/job.sh" ] ||
      fail "$name $how: resubmission '$resubmit'"
    resumed_job[$name-$how]=$(eval "$resubmit") || fail "'$resubmit' failed"
    resumed_job[$name-$how]=${resumed_job[$name-$how]##* }
  done
done
wait "$direct_pid"
code=$?
direct_pid=""
[ "$code" -eq 6 ] || fail "the uninterrupted run of $stop_line ended with $code: $(tail -n 5 "$tmp/stopdirect.out")"
for name in cg pg; do
  use "$name"
  for how in limit warning cancel; do
    what="$name (proctrack/${tracking[$name]}) $how"
    run=$tmp/stops/$name-$how
    wait_for_job "${resumed_job[$name-$how]}"
    log=$run/unit-0001/slurm-${resumed_job[$name-$how]}_1.out
    grep -q '^Continue range: ' "$log" || fail "$what: the resubmitted unit did not continue from its checkpoint: $(cat "$log")"
    grep -q '^Starting range: ' "$log" && fail "$what: the resubmitted unit started the line again"
    "$scripts/slurm-collect.sh" "$run" >"$run.collect" 2>&1 || fail "$what: collect after the rerun: $(cat "$run.collect")"
    cmp -s "$run/results.jsonl" "$tmp/stopdirect/results.jsonl" ||
      fail "$what: the records differ from the uninterrupted run's: $(diff "$tmp/stopdirect/results.jsonl" "$run/results.jsonl")"
    echo "$what: continued from the checkpoint, records as the uninterrupted run's"
  done
done
echo "slurm array test passed"
