#!/usr/bin/env bash
# Builds the two release artifacts into dist/:
#   kalvenor-VERSION-linux-x86_64.tar.gz   the portable archive: one
#       executable (CUDA runtime and C++ runtime linked in, the driver's
#       libcuda.so.1 loaded at start), its manual page, a short README, the
#       example worktodo.txt, the Slurm scripts and the BOINC kit
#   kalvenor_VERSION_amd64.deb             the Debian package (CPack) of what
#       `cmake --install` installs
# with machine code for sm_75 to sm_120 and PTX for compute_120, and
# SHA256SUMS beside them.
#
#   scripts/release.sh               needs nvcc (CUDA 13); from a clean clone
#                                    some 5 minutes on two cores
#   scripts/release.sh --host-only   no CUDA: the kernels run on the CPU;
#                                    names end in -host-only
#   scripts/release.sh --from BUILD  packs the program of a build directory
#                                    already made (CI packs its test build)
# KALVENOR_DIST names another output directory than dist/.
set -euo pipefail
cd "$(dirname "$0")/.."

die() { echo "release.sh: $*" >&2; exit 1; }
mode=cuda
from=
case "${1:-}" in
  "") ;;
  --host-only) mode=host; [ $# -eq 1 ] || die "usage: scripts/release.sh [--host-only | --from BUILD]" ;;
  --from) [ $# -eq 2 ] || die "usage: scripts/release.sh [--host-only | --from BUILD]"; mode=from; from=$2 ;;
  *) die "usage: scripts/release.sh [--host-only | --from BUILD]" ;;
esac
dist=${KALVENOR_DIST:-dist}
mkdir -p "$dist" && dist=$(cd "$dist" && pwd)
version=$(sed -n 's/^project(kalvenor VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || die "no version in CMakeLists.txt"

if [ "$mode" = from ]; then
  build=$from
  [ -f "$build/CMakeCache.txt" ] && [ -x "$build/kalvenor" ] || die "$build holds no built kalvenor"
  # Brought up to date now, as CPack would do below: the archive and the
  # package must hold the same program, the one checked here.
  cmake --build "$build" -j "$(nproc)" --target kalvenor
else
  # What the release is: the program alone, with the runtimes linked in. Every
  # option is given, so that a cache left by an earlier configure has no say.
  options=(-DCMAKE_BUILD_TYPE=Release -DKALVENOR_TESTS=OFF -DKALVENOR_BENCH=OFF -DKALVENOR_FUZZ=OFF
           -DKALVENOR_BOINC=OFF -DKALVENOR_SANITIZE=OFF -DKALVENOR_VERIFY=OFF -DKALVENOR_STATIC_RUNTIME=ON)
  if [ "$mode" = host ]; then
    build=build-release-host-only
    options+=(-DKALVENOR_CUDA=OFF)
  else
    build=build-release
    [ -x /usr/local/cuda/bin/nvcc ] && export PATH="/usr/local/cuda/bin:$PATH"
    command -v nvcc >/dev/null 2>&1 || die "no nvcc: install the CUDA toolkit, or build scripts/release.sh --host-only"
    options+=(-DKALVENOR_CUDA=ON "-DCMAKE_CUDA_ARCHITECTURES=75-real;80-real;86-real;89-real;90-real;100-real;120-real;120-virtual")
  fi
  cmake -S . -B "$build" "${options[@]}"
  cmake --build "$build" -j "$(nproc)" --target kalvenor
fi
build=$(cd "$build" && pwd)
cuda=$(sed -n 's/^KALVENOR_CUDA:BOOL=//p' "$build/CMakeCache.txt")
suffix=
[ "$cuda" = ON ] || suffix=-host-only

# What the program links: the C library and libgcc_s, and nothing of the C++
# or CUDA runtimes, which a machine without the toolkit (or with an older
# GCC) lacks.
program=$build/kalvenor
needed=$(readelf -d "$program" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
for library in $needed; do
  case $library in
    libc.so.6 | libm.so.6 | libdl.so.2 | libpthread.so.0 | librt.so.1 | ld-linux-x86-64.so.2 | libgcc_s.so.1) ;;
    *) die "the program links $library, which a user's machine may lack (build with -DKALVENOR_STATIC_RUNTIME=ON)" ;;
  esac
done
symbols=$(objdump -T "$program")
glibc=$(grep -o 'GLIBC_[0-9.]*' <<<"$symbols" | sort -uV | tail -n1)
! grep -q 'GLIBCXX_\|CXXABI_' <<<"$symbols" || die "the program needs the system's libstdc++"
# The oldest C library the README promises; the CUDA runtime needs 2.34.
oldest=GLIBC_2.34
[ "$(printf '%s\n' "$glibc" "$oldest" | sort -V | tail -n1)" = "$oldest" ] ||
  die "the program needs $glibc, newer than the $oldest the README promises: $(grep "($glibc)" <<<"$symbols" | awk '{print $NF}' | tr '\n' ' ')"

stage=$build/release-stage
rm -rf "$stage"
cmake --install "$build" --prefix "$stage/usr" --strip >/dev/null

name=kalvenor-$version-linux-x86_64$suffix
tree=$build/release-archive/$name
rm -rf "$build/release-archive" && mkdir -p "$tree/examples" "$tree/doc"
cp "$stage/usr/bin/kalvenor" "$stage/usr/share/man/man1/kalvenor.1" "$tree/"
cp docs/archive-README.md "$tree/README.md"
cp README.md "$tree/doc/README.md"
cp examples/worktodo.txt "$tree/examples/"
cp -r "$stage/usr/share/kalvenor/slurm" "$stage/usr/share/kalvenor/boinc" "$tree/"
tar --sort=name --owner=0 --group=0 --numeric-owner -C "$build/release-archive" -czf "$dist/$name.tar.gz" "$name"

rm -rf "$build/release-cpack"
(cd "$build" && cpack -G DEB -B "$build/release-cpack" >/dev/null)
deb=$(cd "$build/release-cpack" && ls ./*.deb)
mv "$build/release-cpack/$deb" "$dist/"
deb=$(basename "$deb")

(cd "$dist" && sha256sum "$name.tar.gz" "$deb" >SHA256SUMS)
echo "release.sh: $dist/$name.tar.gz and $dist/$deb"
echo "release.sh: links $needed; needs $glibc or later"
"$program" --version | sed 's/^/release.sh:   /'
