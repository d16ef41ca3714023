#!/usr/bin/env bash
# Fails when the manual page (docs/kalvenor.1) and `kalvenor --help` name
# different options, environment variables, files or exit codes, or when
# the archive's README (docs/archive-README.md) lists other exit codes: the
# page and that README are written by hand, the usage text is the program's.
#   scripts/check-manpage.sh PROGRAM
set -euo pipefail
cd "$(dirname "$0")/.."
program=${1:?usage: scripts/check-manpage.sh PROGRAM}
page=docs/kalvenor.1
archive_readme=docs/archive-README.md

help=$("$program" --help)
# The page as text, its hyphens plain.
manual=$(sed 's/\\-/-/g' "$page")
# The exit codes: the numbers that begin the lines of a section, up to the next one.
help_codes=$(awk '/^Exit codes:/{on=1;next} on&&/^[^ ]/{on=0} on&&/^  [0-9]/{print $1}' <<<"$help" | sort -u)
manual_codes=$(awk '/^\.SH EXIT STATUS/{on=1;next} on&&/^\.SH/{on=0} on&&/^\.B [0-9]/{print $2}' <<<"$manual" | sort -u)
readme_codes=$(sed -n 's/^| \([0-9][0-9+]*\) .*/\1/p' "$archive_readme" | sort -u)

failed=0
same() {  # same WHAT LEFT_NAME LEFT RIGHT_NAME RIGHT
  local only_left only_right
  only_left=$(comm -23 <(printf '%s\n' "$3") <(printf '%s\n' "$5") | tr '\n' ' ')
  only_right=$(comm -13 <(printf '%s\n' "$3") <(printf '%s\n' "$5") | tr '\n' ' ')
  if [ -n "${only_left// /}${only_right// /}" ]; then
    echo "check-manpage: $1 differ: only in $2: ${only_left:-none}; only in $4: ${only_right:-none}"
    failed=1
  fi
}
words() { grep -oE -- "$1" | sort -u; }
option='--[a-z][a-z-]*'
environment='KALVENOR_[A-Z_]+'
file='\b[a-z]+\.(txt|cpt|jsonl|lock)\b'
same options "--help" "$(words "$option" <<<"$help")" "$page" "$(words "$option" <<<"$manual")"
same "environment variables" "--help" "$(words "$environment" <<<"$help")" "$page" "$(words "$environment" <<<"$manual")"
same files "--help" "$(words "$file" <<<"$help")" "$page" "$(words "$file" <<<"$manual")"
[ -n "$help_codes" ] || { echo "check-manpage: no exit codes found in --help"; failed=1; }
version=$("$program" --version | sed -n 's/^Kalvenor_CUDA version //p')
grep -q "^\.TH KALVENOR 1 .*\"Kalvenor $version\"" "$page" || { echo "check-manpage: $page is not for version $version"; failed=1; }
same "exit codes" "--help" "$help_codes" "$page" "$manual_codes"
same "exit codes" "--help" "$help_codes" "$archive_readme" "$readme_codes"
# groff's own complaints about the page (bad requests, unknown escapes).
if command -v groff >/dev/null 2>&1; then
  warnings=$(groff -man -ww -z "$page" 2>&1 || true)
  [ -z "$warnings" ] || { echo "check-manpage: groff: $warnings"; failed=1; }
fi
[ "$failed" = 0 ] && echo "manual page and archive README agree with --help"
exit "$failed"
