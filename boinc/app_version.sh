#!/usr/bin/env bash
# Lays out one app version of the BOINC build for the project's
# bin/update_versions: the executable, the BOINC libraries it links and a
# version.xml naming every file.
#
#   app_version.sh [options] BUILD_DIR OUT_DIR
#
#   --version X.YY     the app version (default: the program's, 2.018 -> 2.18)
#   --platform P       the BOINC platform (default x86_64-pc-linux-gnu)
#   --plan-class C     the plan class (default: cuda for a CUDA build, none
#                      for a CPU build); it must be one of plan_class_spec.xml
#
# BUILD_DIR is a build with -DKALVENOR_BOINC=ON. The result goes to
# OUT_DIR/apps/kalvenor/X.YY/P[__C]/; copy OUT_DIR/apps into the project and
# run bin/update_versions. The script prints the directory and the oldest
# glibc and libstdc++ the files run with, which the volunteers' machines need.
#
# Volunteers' machines have no BOINC libraries (the client does not pull
# them in), so they travel with the app version. The client runs the main
# program from the project directory, where every file of the version lies
# under its physical name, and the executable looks for its libraries in its
# own directory (an RPATH of $ORIGIN). The dynamic loader looks them up by
# their sonames, so that is their physical name; <copy_file/> puts them into
# the slot directory too, under the same name, for a client that starts a
# copy of the program there. The sonames are shared by every app version in
# the project's flat download directory and in the client's project
# directory: all versions must ship the same build of them (update_versions
# refuses another file under a name it holds).
set -euo pipefail

usage() {
  sed -n '2,/^set -euo/{/^#/s/^# \{0,1\}//p}' "$0" >&2
  exit "${1:-2}"
}
die() { echo "app_version.sh: $*" >&2; exit 1; }

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
version=
platform=x86_64-pc-linux-gnu
plan_class=-
positional=()
while [ $# -gt 0 ]; do
  case $1 in
    --version) [ $# -ge 2 ] || usage; version=$2; shift 2 ;;
    --platform) [ $# -ge 2 ] || usage; platform=$2; shift 2 ;;
    --plan-class) [ $# -ge 2 ] || usage; plan_class=$2; shift 2 ;;
    -h|--help) usage 0 ;;
    -*) echo "app_version.sh: unknown option '$1'" >&2; usage ;;
    *) positional+=("$1"); shift ;;
  esac
done
[ ${#positional[@]} -eq 2 ] || usage
build=${positional[0]}
out=${positional[1]}

cache=$build/CMakeCache.txt
[ -f "$cache" ] || die "$build is no CMake build directory"
grep -qx 'KALVENOR_BOINC:BOOL=ON' "$cache" || die "$build is not a BOINC build (configure it with -DKALVENOR_BOINC=ON)"
program=$build/kalvenor
[ -x "$program" ] || die "no $program: build the target kalvenor first"
if [ "$plan_class" = - ]; then
  plan_class=
  grep -qx 'KALVENOR_CUDA:BOOL=ON' "$cache" && plan_class=cuda
fi
if [ -z "$version" ]; then
  # update_versions reads X.YY as 100 X + YY, so the program's 2.018 is 2.18.
  text=$(sed -n 's/.*kVersionText = "\([0-9]*\.[0-9]*\)".*/\1/p' "$here/../src/common/version.h")
  [ -n "$text" ] || die "no version in src/common/version.h; give --version"
  minor=$((10#${text#*.}))
  [ "$minor" -lt 100 ] || die "version $text has no X.YY form; give --version"
  version=${text%%.*}.$(printf '%02d' "$minor")
fi
[[ $version =~ ^[0-9]+\.[0-9]{1,2}$ ]] || die "a version is X.YY, not '$version'"
[[ $platform =~ ^[A-Za-z0-9_.-]+$ ]] || die "bad platform '$platform'"
[ -z "$plan_class" ] || [[ $plan_class =~ ^[A-Za-z0-9_.-]+$ ]] || die "bad plan class '$plan_class'"

# The BOINC libraries the program loads, as this machine resolves them.
rpath=$(readelf -d "$program" | sed -n 's/.*(RPATH).*\[\(.*\)\]/\1/p')
[ "$rpath" = '$ORIGIN' ] || die "$program has the run path '$rpath', not \$ORIGIN: rebuild it with this CMakeLists.txt"
mapfile -t libraries < <(ldd "$program" | awk '$1 ~ /^libboinc/ { print $1, $3 }')
[ ${#libraries[@]} -gt 0 ] || die "$program links no BOINC library"
for entry in "${libraries[@]}"; do
  [ -f "${entry#* }" ] || die "$program: ${entry% *} not found on this machine"
done

suffix=${plan_class:+__$plan_class}
dir=$out/apps/kalvenor/$version/$platform$suffix
main=kalvenor_${version}_$platform$suffix
rm -rf "$dir"
mkdir -p "$dir"
cp "$program" "$dir/$main"
strip --strip-unneeded "$dir/$main"
chmod 755 "$dir/$main"
for entry in "${libraries[@]}"; do
  cp -L "${entry#* }" "$dir/${entry% *}"
  chmod 644 "$dir/${entry% *}"
done

api=$(strings "$program" | sed -n 's/^API_VERSION_\([0-9]*\.[0-9]*\.[0-9]*\)$/\1/p' | head -n 1)
[ -n "$api" ] || die "$program holds no API_VERSION string"
{
  echo '<version>'
  printf '    <file>\n        <physical_name>%s</physical_name>\n        <main_program/>\n    </file>\n' "$main"
  for entry in "${libraries[@]}"; do
    printf '    <file>\n        <physical_name>%s</physical_name>\n        <logical_name>%s</logical_name>\n        <copy_file/>\n    </file>\n' \
      "${entry% *}" "${entry% *}"
  done
  printf '    <api_version>%s</api_version>\n' "$api"
  # A GPU task is not paused by the CPU throttle: it would idle the device.
  [ -z "$plan_class" ] || echo '    <dont_throttle/>'
  echo '</version>'
} >"$dir/version.xml"

# The newest symbol versions the files ask of the host's C and C++ runtimes.
newest() {  # newest PREFIX: the highest PREFIX_x.y.z any file asks for
  (cd "$dir" && objdump -T ./*) 2>/dev/null | grep -o "$1_[0-9][0-9.]*" |
    sed "s/^$1_//" | sort -t. -k1,1n -k2,2n -k3,3n | tail -n 1
}
echo "app_version.sh: laid out $dir"
echo "app_version.sh: version $version, platform $platform, plan class ${plan_class:-none}, API $api"
echo "app_version.sh: files: $(cd "$dir" && ls | paste -sd' ')"
echo "app_version.sh: minimum glibc $(newest GLIBC), libstdc++ GLIBCXX_$(newest GLIBCXX) / CXXABI_$(newest CXXABI)"
