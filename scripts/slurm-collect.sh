#!/usr/bin/env bash
# Gathers a run made by slurm-array.sh:
#
#   scripts/slurm-collect.sh RUN_DIR
#
#   RUN_DIR/results.jsonl  the finished units' records, in unit order
#   RUN_DIR/factors.txt    every factor found, one k*2^n+1 a line, by n then k
#
# and names the units that are not finished, with the sbatch command that
# runs only those again. A unit is finished when its worktodo.txt holds no
# assignment any more and its results.jsonl holds the record of its line.
# Both files are rebuilt from the units each time, so collecting again (say
# while the array still runs, and after) always gives what the units hold.
#
# A unit with two records of one line (a task run again by hand, or requeued
# after it had finished) is named, and only one record is merged: the first,
# when they tested the same candidates with the same residue checksums or
# sieved to different depths; none, when they sieved alike and still differ,
# since at least one run computed wrongly.
#
# The resubmission it prints repeats the original sbatch options, --time
# included: a stopped unit continues from its checkpoint, so each run of it
# gets further. KALVENOR_TIME=LIMIT prints it with that --time instead.
#
# Exit code 0 when every unit is finished and no records disagree, 1 when
# some are not or some do, 2 when RUN_DIR is not a run directory.
set -euo pipefail
export LC_ALL=C

fail() { printf 'slurm-collect.sh: %s\n' "$1" >&2; exit 2; }

[ $# -eq 1 ] || fail "usage: slurm-collect.sh RUN_DIR"
[ -d "$1" ] || fail "no directory $1"
run=$(cd "$1" && pwd)
[ -f "$run/assignments.txt" ] && [ -f "$run/job.sh" ] ||
  fail "$run is not a run directory of slurm-array.sh (no assignments.txt or job.sh)"

mapfile -t lines <"$run/assignments.txt"
count=${#lines[@]}
[ "$count" -gt 0 ] || fail "$run/assignments.txt is empty"
width=4
[ ${#count} -gt $width ] && width=${#count}

results=$(mktemp "$run/.results.XXXXXX")
factors=$(mktemp "$run/.factors.XXXXXX")
trap 'rm -f "$results" "$factors"' EXIT

# Factor strings as the program writes them; anything else in factors.txt
# (time stamps, banners) is not a factor.
factor_pattern='[0-9]+\*2\^[0-9]+\+1'

unfinished=()
reasons=()
dropped=()
disagreeing=()
repeated=()
re_exponents='"line":"[^"]*",.*"sievePrimes":([0-9]+),"exponents":\[([^]]*)\]'
records=0
for ((i = 1; i <= count; i++)); do
  unit=$(printf 'unit-%0*d' "$width" "$i")
  dir=$run/$unit
  line=${lines[$((i - 1))]}
  # A factor is a factor even when its unit stopped early, so factors.txt of
  # every unit counts, not only of the finished ones.
  if [ -f "$dir/factors.txt" ]; then
    grep -oE "$factor_pattern" "$dir/factors.txt" >>"$factors" || true
  fi
  if grep -q '^FermatFactor=' "$dir/worktodo.txt" 2>/dev/null; then
    unfinished+=("$i"); reasons+=("$unit  $line  (still in its worktodo.txt)")
    continue
  fi
  if ! grep -qF "\"line\":\"$line\"" "$dir/results.jsonl" 2>/dev/null; then
    unfinished+=("$i"); reasons+=("$unit  $line  (no record in its results.jsonl)")
    continue
  fi
  # The unit's records, one kept for each line: two of one line are the
  # same result twice when they agree, and neither counts when they do not.
  declare -A tested_of=() kept_of=()
  order=()
  while IFS= read -r record; do
    [ -n "$record" ] || continue
    key=$(grep -oE '"line":"[^"]*"' <<<"$record" | head -n1)
    tested_part=""
    [[ $record =~ $re_exponents ]] && tested_part="${BASH_REMATCH[1]} ${BASH_REMATCH[2]}"
    if [ -z "${kept_of[$key]+set}" ]; then
      order+=("$key"); kept_of[$key]=$record; tested_of[$key]=$tested_part
    elif [ "${tested_of[$key]}" = "$tested_part" ]; then
      repeated+=("$unit  ${key:8:-1}  (records agree; one merged)")
    elif [ "${tested_of[$key]%% *}" != "${tested_part%% *}" ]; then
      # Sieved to another depth, so other candidates were left to test.
      repeated+=("$unit  ${key:8:-1}  (sieved to different depths; the first merged)")
    else
      kept_of[$key]=""
      disagreeing+=("$unit  ${key:8:-1}")
    fi
  done <"$dir/results.jsonl"
  for key in "${order[@]}"; do
    record=${kept_of[$key]}
    [ -n "$record" ] || continue
    printf '%s\n' "$record" >>"$results"
    records=$((records + 1))
    # "factors":[{"factor":"a*2^n+1","m":28},...] (or the plain strings of earlier versions): no brackets inside.
    grep -oE '"factors":\[[^]]*\]' <<<"$record" | grep -oE "$factor_pattern" >>"$factors" || true
    if grep -qF '"status":"no kernel"' <<<"$record"; then
      dropped+=("$unit  ${key:8:-1}")
    fi
  done
  unset tested_of kept_of
done

# By n, then k; sort -n compares digit strings of any length.
sed -E 's/^([0-9]+)\*2\^([0-9]+)\+1$/\2 \1 &/' "$factors" | sort -k1,1n -k2,2n -u | cut -d' ' -f3 >"$factors.sorted"
mv "$factors.sorted" "$factors"
chmod 644 "$results" "$factors"
mv "$results" "$run/results.jsonl"
mv "$factors" "$run/factors.txt"

found=$(wc -l <"$run/factors.txt")
echo "$run: $count units, $((count - ${#unfinished[@]})) finished"
echo "  results.jsonl: $records records"
echo "  factors.txt:   $found distinct factors"
sed 's/^/    /' "$run/factors.txt"
if [ ${#dropped[@]} -gt 0 ]; then
  echo "Lines the program dropped because no kernel serves them:"
  printf '  %s\n' "${dropped[@]}"
fi

if [ ${#repeated[@]} -gt 0 ]; then
  echo "Units with more than one record of a line:"
  printf '  %s\n' "${repeated[@]}"
fi
if [ ${#disagreeing[@]} -gt 0 ]; then
  echo "Units whose records of a line disagree on tested counts or residue checksums"
  echo "(none of them is merged into results.jsonl; run the line again on a trusted host):"
  printf '  %s\n' "${disagreeing[@]}"
fi

if [ ${#unfinished[@]} -eq 0 ]; then
  [ ${#disagreeing[@]} -eq 0 ] || exit 1
  exit 0
fi

# 1,2,3,5,7,8 -> 1-3,5,7-8
indices=""
start=${unfinished[0]}
previous=$start
for i in "${unfinished[@]:1}" ""; do
  if [ -n "$i" ] && [ "$i" -eq $((previous + 1)) ]; then
    previous=$i
    continue
  fi
  [ "$start" -eq "$previous" ] && part=$start || part=$start-$previous
  indices=${indices:+$indices,}$part
  start=$i
  previous=$i
done

echo "Not finished (${#unfinished[@]}):"
printf '  %s\n' "${reasons[@]}"
if [ -f "$run/job-id.txt" ] && command -v squeue >/dev/null 2>&1; then
  job=$(cat "$run/job-id.txt")
  if [ -n "$(timeout 20 squeue -h -j "$job" 2>/dev/null || true)" ]; then
    echo "Array job $job still has tasks waiting or running: collect again when it ends."
  fi
fi
options=$(cat "$run/sbatch-options.txt" 2>/dev/null || true)
throttle=$(cat "$run/throttle.txt" 2>/dev/null || true)
if [ -n "${KALVENOR_TIME:-}" ]; then
  # The last --time on the command line is the one sbatch takes.
  options="${options:+$options }--time=$(printf '%q' "$KALVENOR_TIME")"
fi
echo "Run only these again with:"
echo "  sbatch --array=$indices${throttle:+%$throttle}${options:+ $options} $run/job.sh"
echo "(a unit that was stopped continues from its checkpoint; KALVENOR_TIME=LIMIT prints this with another --time)"
exit 1
