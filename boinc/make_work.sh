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
#   --sieve-primes N   the sieve depth of these units (default: the one in the
#                      input template); another depth gets a template of its own
#   --kalvenor PATH    the program that cuts the line (default $KALVENOR, else
#                      kalvenor on PATH); any build will do, it only cuts
#   --tag TAG          appended to the unit names, to issue a range again (a
#                      unit in failed.txt, say) under names not yet used
#   --dry-run          print what would be staged and created; change nothing
#
# Everything after "--" goes to create_work as it stands, e.g.
# "-- --rsc_fpops_est 4e15 --rsc_fpops_bound 8e16 --priority 3".
# STAGE_FILE and CREATE_WORK name other tools than bin/stage_file and
# bin/create_work (relative to the project directory).
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
pinned=$(sed -n 's/.*<command_line>.*--sieve-primes[ =]\([0-9][0-9]*\).*<\/command_line>.*/\1/p' "$in_template")
[ -n "$pinned" ] || die "$in_template pins no --sieve-primes in its <command_line>: hosts would sieve at depths of their own and never validate against each other"
if [ -n "$sieve_primes" ] && [ "$sieve_primes" != "$pinned" ]; then
  # The command line lives in the template, not on create_work's command
  # line, so one file says what every replica of these units runs.
  wu_template=templates/${app}_in_p${sieve_primes}.xml
  derived=$(sed "/<command_line>/s/--sieve-primes[ =][0-9][0-9]*/--sieve-primes $sieve_primes/" "$in_template")
  if [ "$dry_run" = 0 ] && ! { [ -f "$wu_template" ] && [ "$(cat "$wu_template")" = "$derived" ]; }; then
    printf '%s\n' "$derived" >"$wu_template.tmp" && mv "$wu_template.tmp" "$wu_template"
  fi
else
  sieve_primes=$pinned
  wu_template=$in_template
fi

ledger=$project/kalvenor
cut_errors=$(mktemp)
trap 'rm -f "$cut_errors"' EXIT
if ! cut=$("$kalvenor" --cut "$units" "$line" 2>"$cut_errors"); then
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
  [[ $unit =~ ^FermatFactor=[0-9]+,[0-9]+,[0-9]+,[0-9]+$ ]] || die "kalvenor --cut printed '$unit', not an assignment line"
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

created=0
skipped=0
for unit in "${unit_lines[@]}"; do
  IFS=, read -r n_start n_end k_start k_end <<<"${unit#FermatFactor=}"
  name=${app}_${n_start}_${n_end}_${k_start}_${k_end}_p${sieve_primes}${tag:+_$tag}
  file=$name.worktodo
  create=("$create_work" --appname "$app" --wu_name "$name" --wu_template "$wu_template"
          --result_template "$out_template" "${extra[@]}" "$file")
  if [ "$dry_run" = 1 ]; then
    printf '# %s holds: %s\n' "$file" "$unit"
    printf '%q <staging>/%q\n' "$stage_file" "$file"
    printf '%q ' "${create[@]}"; echo
    continue
  fi
  if awk -v name="$name" '$1 == name { found = 1 } END { exit !found }' "$ledger/issued.txt"; then
    skipped=$((skipped + 1))
    continue
  fi
  printf '%s\n' "$unit" >"$staging/$file"
  "$stage_file" "$staging/$file" >/dev/null || die "stage_file failed for $file ($created units created before it)"
  "${create[@]}" || die "create_work failed for $name ($created units created before it)"
  printf '%s %s\n' "$name" "$unit" >>"$ledger/issued.txt"
  created=$((created + 1))
done

if [ "$dry_run" = 1 ]; then
  echo "# dry run: ${#unit_lines[@]} units, nothing staged or created"
else
  echo "make_work.sh: ${#unit_lines[@]} units of $line: $created created, $skipped issued before"
fi
