#!/usr/bin/env bash
# Work generator: cuts one big assignment line into work units of about equal
# cost with `kalvenor --cut`, stages one input file per unit and creates the
# units with the project's create_work. Run it on the project server.
#
#   make_work.sh [options] LINE UNITS [-- create_work options]
#
#   --project DIR      the BOINC project directory (default $BOINC_PROJECT_DIR,
#                      else the current directory)
#   --app NAME         the application's short name (default kalvenor); the
#                      templates are templates/NAME_in.xml and NAME_out.xml
#   --sieve-primes N   the sieve depth of every unit (default: each unit's
#                      own, the depth the host sieve takes for its kernel)
#   --fpops-per-cost F the floating-point operations a host spends per unit
#                      of --cut's cost (default 0.04; see boinc/README.md):
#                      a unit's rsc_fpops_est is its cost times F, its
#                      rsc_fpops_bound 20 times that
#   --kalvenor PATH    the program that cuts the line (default $KALVENOR, else
#                      kalvenor on PATH); any build will do, it only cuts
#   --tag TAG          appended to the unit names, to issue a range again (a
#                      unit in failed.txt, say) under names not yet used
#   --dry-run          print what would be staged and created; change nothing
#
# Everything after "--" goes to create_work as it stands, e.g.
# "-- --priority 3"; the estimate, the bound and the command line are the
# script's own. STAGE_FILE and CREATE_WORK name other tools than
# bin/stage_file and bin/create_work (relative to the project directory).
#
# The units go to create_work --stdin, one line each, in one call per
# estimate (the units of one kernel's part of the line cost about the same):
# the estimate and bound are options of the whole call, the name, the
# command line and the input file are the unit's own.
#
# Each unit is named after its own range and sieve depth, e.g.
# kalvenor_36_36_25709300001_25709340001_p200000, so issuing the same line
# twice cannot hand out a range twice: a unit already in the ledger
# <project>/kalvenor/issued.txt ("NAME LINE" per unit) is skipped, which also
# makes a run that stopped half way safe to repeat.
set -euo pipefail

usage() {
  sed -n '2,/^set -euo/{/^#/s/^# \{0,1\}//p}' "$0" >&2
  exit "${1:-2}"
}
die() { echo "make_work.sh: $*" >&2; exit 1; }

project=${BOINC_PROJECT_DIR:-.}
app=kalvenor
sieve_primes=
fpops_per_cost=0.04
tag=
kalvenor=${KALVENOR:-kalvenor}
dry_run=0
positional=()
extra=()
while [ $# -gt 0 ]; do
  case $1 in
    --project) [ $# -ge 2 ] || usage; project=$2; shift 2 ;;
    --app) [ $# -ge 2 ] || usage; app=$2; shift 2 ;;
    --sieve-primes) [ $# -ge 2 ] || usage; sieve_primes=$2; shift 2 ;;
    --fpops-per-cost) [ $# -ge 2 ] || usage; fpops_per_cost=$2; shift 2 ;;
    --kalvenor) [ $# -ge 2 ] || usage; kalvenor=$2; shift 2 ;;
    --tag) [ $# -ge 2 ] || usage; tag=$2; shift 2 ;;
    --dry-run) dry_run=1; shift ;;
    --) shift; extra=("$@"); break ;;
    -h|--help) usage 0 ;;
    -*) echo "make_work.sh: unknown option '$1'" >&2; usage ;;
    *) positional+=("$1"); shift ;;
  esac
done
[ ${#positional[@]} -eq 2 ] || usage
line=${positional[0]}
units=${positional[1]}
[[ $units =~ ^[1-9][0-9]{0,6}$ ]] || die "the unit count must be a number from 1 up, not '$units'"
[[ $app =~ ^[A-Za-z0-9_.-]+$ ]] || die "'$app' is not an application name"
[ -z "$tag" ] || [[ $tag =~ ^[A-Za-z0-9.-]+$ ]] || die "a tag is letters, digits, '.' and '-', not '$tag'"
[ -z "$sieve_primes" ] || [[ $sieve_primes =~ ^[1-9][0-9]{0,8}$ ]] || die "bad sieve depth '$sieve_primes'"
[[ $fpops_per_cost =~ ^[0-9]*\.?[0-9]+([eE][-+]?[0-9]+)?$ ]] && awk -v f="$fpops_per_cost" 'BEGIN { exit !(f > 0) }' ||
  die "bad --fpops-per-cost '$fpops_per_cost'"
for option in "${extra[@]}"; do
  case $option in
    --rsc_fpops_est|--rsc_fpops_bound|--command_line|--stdin|--wu_name|--wu_template)
      die "$option is make_work.sh's own; it cannot come after --" ;;
  esac
done

# The tools run from the project directory (they read its config.xml), so
# every path given here is made absolute first.
project=$(cd "$project" && pwd) || die "no project directory '$project'"
if [[ $kalvenor != */* ]]; then
  kalvenor=$(command -v "$kalvenor") || die "kalvenor not found; give --kalvenor PATH or set KALVENOR"
fi
kalvenor=$(cd "$(dirname "$kalvenor")" && pwd)/$(basename "$kalvenor")
[ -x "$kalvenor" ] || die "'$kalvenor' is not an executable"
stage_file=${STAGE_FILE:-bin/stage_file}
create_work=${CREATE_WORK:-bin/create_work}
cd "$project"

in_template=templates/${app}_in.xml
out_template=templates/${app}_out.xml
[ -f "$in_template" ] || die "no input template $project/$in_template (copy boinc/templates there)"
[ -f "$out_template" ] || die "no output template $project/$out_template (copy boinc/templates there)"
# The template's values would win over each unit's own (its comments, which
# name them, aside).
for tag_name in command_line rsc_fpops_est rsc_fpops_bound; do
  ! sed '/<!--/,/-->/d' "$in_template" | grep -q "<$tag_name>" ||
    die "$in_template holds <$tag_name>, which would override every unit's own (take it out, as in boinc/templates)"
done

ledger=$project/kalvenor
cut_errors=$(mktemp)
trap 'rm -f "$cut_errors"' EXIT
if ! cut=$("$kalvenor" --cut "$units" "$line" --costs 2>"$cut_errors"); then
  cat "$cut_errors" >&2
  die "kalvenor --cut refused the line"
fi
# The parts no kernel serves are in no unit; they are named here and kept in
# the ledger, so that the record of the search says what was left out.
if [ -s "$cut_errors" ]; then
  cat "$cut_errors" >&2
  if [ "$dry_run" = 0 ]; then
    mkdir -p "$ledger"
    sed "s|^|$(date -u '+%Y-%m-%dT%H:%M:%SZ') $line: |" "$cut_errors" >>"$ledger/cut-notes.txt"
  fi
fi
mapfile -t unit_lines <<<"$cut"
[ -n "$cut" ] && [ ${#unit_lines[@]} -gt 0 ] || die "kalvenor --cut gave no unit for '$line'"
for unit in "${unit_lines[@]}"; do
  [[ $unit =~ ^FermatFactor=[0-9]+,[0-9]+,[0-9]+,[0-9]+\ [0-9.e+]+\ [0-9]+$ ]] ||
    die "kalvenor --cut --costs printed '$unit', not an assignment line with its cost and depth"
done

staging=
if [ "$dry_run" = 0 ]; then
  mkdir -p "$ledger"
  touch "$ledger/issued.txt"
  # Beside the download directory's file system where possible, so that
  # stage_file moves rather than copies.
  staging=$(mktemp -d "$ledger/staging.XXXXXX")
  trap 'rm -f "$cut_errors"; rm -rf "$staging"' EXIT
fi

# Per unit: "NAME DEPTH ESTIMATE LINE". The estimate is rounded up to two
# digits, so units of about one cost share a create_work call.
plan=$(printf '%s\n' "${unit_lines[@]}" | awk -v app="$app" -v tag="$tag" -v depth="$sieve_primes" -v f="$fpops_per_cost" '{
  split(substr($1, length("FermatFactor=") + 1), r, ",")
  d = depth != "" ? depth : $3
  e = $2 * f; if (e < 1e9) e = 1e9
  scale = 10 ^ (int(log(e) / log(10)) - 1); e = int(e / scale + 0.999999) * scale
  printf "%s_%s_%s_%s_%s_p%s%s %s %.2e %s\n", app, r[1], r[2], r[3], r[4], d, tag != "" ? "_" tag : "", d, e, $1
}')

created=0
skipped=0
declare -A batch=()  # estimate -> the create_work --stdin lines of its units
declare -A batch_units=()  # estimate -> "NAME LINE" lines for the ledger
while read -r name depth estimate unit; do
  file=$name.worktodo
  job="--wu_name $name --command_line \"--sieve-primes $depth\" $file"
  if [ "$dry_run" = 1 ]; then
    printf '# %s holds: %s (estimate %s)\n' "$file" "$unit" "$estimate"
    printf '%q <staging>/%q\n' "$stage_file" "$file"
  elif awk -v name="$name" '$1 == name { found = 1 } END { exit !found }' "$ledger/issued.txt"; then
    skipped=$((skipped + 1))
    continue
  else
    printf '%s\n' "$unit" >"$staging/$file"
    # stage_file says what went wrong on its standard output.
    if ! said=$("$stage_file" "$staging/$file" 2>&1); then
      printf '%s\n' "$said" >&2
      die "stage_file failed for $file ($created units created before it)"
    fi
    [ -z "$said" ] || printf '%s\n' "$said" >&2
  fi
  batch[$estimate]+="$job"$'\n'
  batch_units[$estimate]+="$name $unit"$'\n'
done <<<"$plan"

for estimate in "${!batch[@]}"; do
  bound=$(awk -v e="$estimate" 'BEGIN { printf "%.2e", e * 20 }')
  create=("$create_work" --appname "$app" --wu_template "$in_template" --result_template "$out_template"
          --rsc_fpops_est "$estimate" --rsc_fpops_bound "$bound" "${extra[@]}" --stdin)
  if [ "$dry_run" = 1 ]; then
    printf '%q ' "${create[@]}"; echo "<<'EOF'"
    printf '%s' "${batch[$estimate]}"; echo EOF
    continue
  fi
  count=$(printf '%s' "${batch_units[$estimate]}" | grep -c .)
  printf '%s' "${batch[$estimate]}" | "${create[@]}" ||
    die "create_work --stdin failed on $count units of estimate $estimate; $created created before them, some of these may exist (see the database)"
  printf '%s' "${batch_units[$estimate]}" >>"$ledger/issued.txt"
  created=$((created + count))
done

if [ "$dry_run" = 1 ]; then
  echo "# dry run: ${#unit_lines[@]} units, nothing staged or created"
else
  echo "make_work.sh: ${#unit_lines[@]} units of $line: $created created, $skipped issued before"
fi
