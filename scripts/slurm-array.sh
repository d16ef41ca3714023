#!/usr/bin/env bash
# Runs one assignment line as a Slurm job array:
#
#   scripts/slurm-array.sh LINE UNITS[%MAX] [sbatch options...]
#   e.g. scripts/slurm-array.sh FermatFactor=100,110,3,10000000001 64%8 --partition=gpu --time=12:00:00
#
# The line is cut with `kalvenor --cut` into at least UNITS work units of about
# equal cost. Each unit gets a directory of its own (unit-0001, ...) holding its
# worktodo.txt, because the program keeps its checkpoint, lock and result files
# in the directory it runs in; one array task runs there per unit, at most MAX
# of them at once when %MAX is given. Collect the results, and find the units
# to run again, with scripts/slurm-collect.sh.
#
# Environment:
#   KALVENOR          the program (default: build/kalvenor of this checkout)
#   KALVENOR_ARGS     extra program options, split at blanks (e.g. "--sieve host")
#   KALVENOR_GPUS     GPUs per task for a CUDA build (default 1; 0, or --device
#                     cpu in KALVENOR_ARGS, runs the kernels on the CPU); a build
#                     without CUDA asks for none
#   KALVENOR_RUN_DIR  the run directory (default: ./slurm-<date>-<time>); it must
#                     not exist yet or be empty
#
# A CUDA build (as `kalvenor --version` says) asks for a GPU with --gpus=1,
# unless the sbatch options ask for GPUs themselves, and runs with --device 0:
# Slurm's CUDA_VISIBLE_DEVICES makes the granted GPU device 0, and a task that
# finds none fails instead of crawling along on the CPU.
#
# Stopping: a time limit, scancel and preemption send the job script SIGTERM
# and kill the job KillWait seconds later (30 by default). The script passes
# one stop on to the program and waits while it finishes its batch and writes
# its checkpoint; --signal=B:TERM@120 asks for that SIGTERM two minutes before
# the time limit (Slurm checks limits every 30 s, so at least 90 s before the
# kill), time for a batch however slow the node's file system. --requeue lets
# a preempted task run again and --open-mode=append keeps its earlier log.
# Each is a default in the job script, which sbatch options override.
#
# A task that finishes its unit exits 0; any other exit of the program is
# passed on, so Slurm marks that task failed. A stopped task keeps its
# checkpoint, and running it again resumes there.
set -euo pipefail

fail() { printf 'slurm-array.sh: %s\n' "$1" >&2; exit "${2:-2}"; }

if [ $# -lt 2 ]; then
  fail "usage: slurm-array.sh LINE UNITS[%MAX] [sbatch options...]"
fi
line=$1
units=${2%%\%*}
throttle=""
[[ $2 == *%* ]] && throttle=%${2#*%}
shift 2

case $line in
  FermatFactor=*) ;;
  *) fail "'$line' is not an assignment line (FermatFactor=nStart,nEnd,kStart,kEnd)" ;;
esac
# Leading zeros would be read as octal by the shell and are no one's intent.
if ! [[ $units =~ ^[1-9][0-9]{0,5}$ ]]; then
  fail "UNITS must be a whole number from 1 to 999999, not '$units'"
fi
if [ -n "$throttle" ] && ! [[ $throttle =~ ^%[1-9][0-9]{0,5}$ ]]; then
  fail "MAX in UNITS%MAX must be a whole number from 1 to 999999, not '${throttle#%}'"
fi
throttle=${throttle#%}

scripts=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
program=${KALVENOR:-$scripts/../build/kalvenor}
[ -f "$program" ] && [ -x "$program" ] || fail "no program at $program (build it, or set KALVENOR)"
# Tasks may start anywhere on the cluster, so every path they use is absolute.
program=$(cd "$(dirname "$program")" && pwd)/$(basename "$program")
read -r -a program_args <<<"${KALVENOR_ARGS:-}"

command -v sbatch >/dev/null 2>&1 || fail "sbatch not found: this needs a Slurm client"

gpus=${KALVENOR_GPUS:-1}
[[ $gpus =~ ^[0-9]{1,3}$ ]] || fail "KALVENOR_GPUS must be a number of GPUs, not '$gpus'"
cuda_build=""
"$program" --version 2>/dev/null | grep -q '^built for CUDA' && cuda_build=yes
given_device=""
previous=""
for arg in "${program_args[@]}"; do
  [[ $arg == --device* ]] && given_device=yes
  # A run told to keep to the CPU needs no GPU from the scheduler.
  [[ $arg == --device=cpu || ( $previous == --device && $arg == cpu ) ]] && gpus=0
  previous=$arg
done
asks_gpus=""
for arg in "$@"; do
  case $arg in --gpus* | --gres* | -G* | --tres-per-*) asks_gpus=yes ;; esac
done
gpu_line=""
if [ -n "$cuda_build" ]; then
  if [ "$gpus" -gt 0 ]; then
    [ -n "$asks_gpus" ] || gpu_line="#SBATCH --gpus=$gpus"
    [ -n "$given_device" ] || program_args+=(--device 0)
  else
    [ -n "$given_device" ] || program_args+=(--device cpu)
  fi
fi

run=${KALVENOR_RUN_DIR:-slurm-$(date +%Y%m%d-%H%M%S)}
# Slurm reads the job's output path from a #SBATCH line, where % starts a
# file-name pattern and quotes and blanks are taken apart.
case $run in
  *[[:space:]\"\'%\\]*) fail "the run directory '$run' must not hold blanks, quotes, backslashes or %" ;;
esac
if [ -e "$run" ] && [ -n "$(ls -A "$run" 2>/dev/null)" ]; then
  fail "the run directory $run exists and is not empty: pick another (KALVENOR_RUN_DIR)"
fi

# Cut before anything is made, so a refused line leaves nothing behind. What
# --cut names on stderr (parts no kernel serves) is for the user to see.
cut=$(mktemp)
trap 'rm -f "$cut"' EXIT
status=0
"$program" --cut "$units" "$line" >"$cut" || status=$?
if [ "$status" -ne 0 ]; then
  fail "kalvenor --cut refused '$line' (exit code $status)"
fi
if grep -qv '^FermatFactor=' "$cut"; then
  fail "kalvenor --cut printed something other than assignment lines: $(grep -m1 -v '^FermatFactor=' "$cut")" 1
fi
count=$(grep -c '^FermatFactor=' "$cut" || true)
[ "$count" -gt 0 ] || fail "no kernel serves any part of '$line': nothing to run"

mkdir -p "$run"
run=$(cd "$run" && pwd)
width=4
[ ${#count} -gt $width ] && width=${#count}
# The unit's lines, in array-index order: the record of what each unit was
# given, which its own worktodo.txt no longer shows once the program is done.
cp "$cut" "$run/assignments.txt"
i=0
while IFS= read -r unit_line; do
  i=$((i + 1))
  dir=$(printf '%s/unit-%0*d' "$run" "$width" "$i")
  mkdir "$dir"
  printf '%s\n' "$unit_line" >"$dir/worktodo.txt"
done <"$cut"
printf '%s\n' "$line" >"$run/line.txt"
# Kept so that slurm-collect.sh can print a resubmission with the same options.
options=""
[ $# -gt 0 ] && options=$(printf ' %q' "$@")
printf '%s\n' "${options# }" >"$run/sbatch-options.txt"
[ -n "$throttle" ] && printf '%s\n' "$throttle" >"$run/throttle.txt"

quoted_args=""
[ ${#program_args[@]} -gt 0 ] && quoted_args=$(printf ' %q' "${program_args[@]}")
cat >"$run/job.sh" <<EOF
#!/usr/bin/env bash
# One unit of the run made by slurm-array.sh for
#   $line
# Resubmit chosen units with: sbatch --array=3,7 $run/job.sh
#SBATCH --job-name=kalvenor
#SBATCH --output=$run/unit-%${width}a/slurm-%A_%a.out
#SBATCH --open-mode=append
#SBATCH --requeue
#SBATCH --signal=B:TERM@120
$gpu_line
set -u
if [ -z "\${SLURM_ARRAY_TASK_ID:-}" ]; then
  echo "job.sh: not an array task; submit with sbatch --array=..." >&2
  exit 2
fi
run=$(printf '%q' "$run")
unit=\$(printf 'unit-%0${width}d' "\$SLURM_ARRAY_TASK_ID")
line=\$(sed -n "\${SLURM_ARRAY_TASK_ID}p" "\$run/assignments.txt")
if [ -z "\$line" ] || ! cd "\$run/\$unit"; then
  echo "job.sh: no unit \$SLURM_ARRAY_TASK_ID in \$run" >&2
  exit 2
fi
if ! grep -q '^FermatFactor=' worktodo.txt 2>/dev/null; then
  # The program removes the line when it is done; a record of it then means
  # the unit is finished, and running again would only say "no assignment".
  if grep -qF "\"line\":\"\$line\"" results.jsonl 2>/dev/null; then
    echo "\$unit: already finished"
    exit 0
  fi
  # Neither the line nor its record: the result was lost, so do it again.
  printf '%s\n' "\$line" >worktodo.txt
fi
echo "\$unit on \$(hostname -s): \$line"

# Slurm's stop (time limit, scancel, preemption, the --signal warning) reaches
# this shell alone where processes are tracked by cgroup, and this shell and
# the program alike where they are tracked by process group; the program takes
# a repeat of one SIGTERM within moments as the same request. It runs in the
# background so that the shell can pass the stop on, and the shell waits for
# its checkpoint: Slurm kills whatever is left the moment the script ends.
$(printf '%q' "$program")$quoted_args &
pid=\$!
stop=""
pass_on() {
  trapped=yes
  [ -n "\$stop" ] && return
  stop=\$1
  echo "\$unit: SIG\$1 from Slurm; kalvenor stops after its batch, with a checkpoint" >&2
  kill -TERM "\$pid" 2>/dev/null
}
for signal in TERM USR1 USR2; do
  trap "pass_on \$signal" "\$signal"
done
while :; do
  trapped=""
  wait "\$pid"
  code=\$?
  # A trapped signal ends wait at once, the program still at work.
  [ -n "\$trapped" ] || break
  kill -0 "\$pid" 2>/dev/null && continue
  wait "\$pid"
  again=\$?
  [ "\$again" -eq 127 ] || code=\$again
  break
done
# 6 is the program's "last assignment completed".
[ "\$code" -eq 6 ] && exit 0
if [ -n "\$stop" ]; then
  echo "\$unit: kalvenor stopped at Slurm's SIG\$stop with exit code \$code; its checkpoint is kept, and running the unit again continues from it" >&2
else
  echo "\$unit: kalvenor stopped with exit code \$code" >&2
fi
exit "\$code"
EOF
chmod +x "$run/job.sh"

status=0
submitted=$(sbatch --parsable --array="1-$count${throttle:+%$throttle}" "$@" "$run/job.sh") || status=$?
if [ "$status" -ne 0 ]; then
  # Nothing runs, so nothing of the run is worth keeping.
  rm -rf "$run"
  fail "sbatch refused the job (exit code $status); no run directory kept" "$status"
fi
job=${submitted%%;*}
printf '%s\n' "$job" >"$run/job-id.txt"

echo "Submitted array job $job: $count units of $line"
[ "$count" -ne "$units" ] && echo "(--cut made $count units where $units were asked for)"
echo "Run directory: $run"
echo "Watch it:      squeue -j $job"
echo "When it ends:  $scripts/slurm-collect.sh $run"
