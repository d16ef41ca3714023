#!/usr/bin/env bash
# Builds kalvenor with its tests and runs every test. With nvcc present the
# CUDA side is compiled too (for this machine's GPU, or for sm_90 when there
# is none), so the kernels are proven to build; without a usable GPU the tests
# run on the host-emulated device.
#
# Then a job array on a Slurm started for the purpose (tests/slurm/array-test.sh,
# where slurmd, slurmctld and munged are installed), the program packed as
# the release packs it and run from the unpacked archive and package
# (tests/release/artifact-test.sh), the manual page against --help, the BOINC operator's
# scripts (tests/boinc/operator-test.sh) and, where libboinc-app-dev is
# installed, the BOINC build run standalone (tests/boinc/standalone-test.sh)
# and driven as a client drives it (tests/boinc/client-protocol-test.py),
# and, where boinc-client is installed, under the stock client
# (tests/boinc/real-client-test.sh),
# and, unless KALVENOR_QUICK=1 (for quick local runs; CI runs everything):
#   - the whole test suite again under AddressSanitizer and UBSan (host only),
#     with the invariant checks of src/common/verify.h switched on,
#   - the libFuzzer targets for the work-file readers, KALVENOR_FUZZ_SECONDS
#     (default 60) each, when clang++-14 is there.
#
# First it installs the Debian packages of scripts/packages.txt that are
# missing, as root or with sudo that asks no password; otherwise it stops and
# says what to run (KALVENOR_ALLOW_MISSING=1 goes on without them). The end
# names every part that was skipped; with KALVENOR_REQUIRE_ALL=1 (CI) a
# skipped part fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

skipped=()
skip() { echo "$1"; skipped+=("$1"); }
missing=()
for package in $(sed 's/#.*//' scripts/packages.txt); do
  dpkg-query -W -f='${Status}\n' "$package" 2>/dev/null | grep -q '^install ok installed$' || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  install="apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends ${missing[*]}"
  if [ "$(id -u)" = 0 ]; then
    sh -c "$install"
  elif command -v sudo >/dev/null 2>&1 && sudo -n true 2>/dev/null; then
    sudo sh -c "$install"
  elif [ "${KALVENOR_ALLOW_MISSING:-0}" = 1 ]; then
    skip "not installed (KALVENOR_ALLOW_MISSING=1): ${missing[*]}"
  else
    echo "scripts/test.sh needs these packages: ${missing[*]}" >&2
    echo "install them with:  sudo sh -c '$install'" >&2
    echo "(or run KALVENOR_ALLOW_MISSING=1 scripts/test.sh to skip what needs them)" >&2
    exit 1
  fi
fi

jobs=$(nproc)
build=${KALVENOR_TEST_BUILD:-build-test}
options=(-DCMAKE_BUILD_TYPE=Release -DKALVENOR_TESTS=ON)
if command -v nvcc >/dev/null 2>&1 || [ -x /usr/local/cuda/bin/nvcc ]; then
  [ -x /usr/local/cuda/bin/nvcc ] && export PATH="/usr/local/cuda/bin:$PATH"
  arch=${KALVENOR_CUDA_ARCH:-}
  if [ -z "$arch" ] && command -v nvidia-smi >/dev/null 2>&1; then
    arch=$(nvidia-smi --query-gpu=compute_cap --format=csv,noheader 2>/dev/null | head -n1 | tr -d '. ' || true)
  fi
  options+=(-DKALVENOR_CUDA=ON "-DCMAKE_CUDA_ARCHITECTURES=${arch:-90}")
else
  options+=(-DKALVENOR_CUDA=OFF)
  echo "nvcc not found: a host-only build (the CUDA toolkit is not in scripts/packages.txt)"
fi
# Linked as the release links it, so that this build's program can be packed
# and checked as a release (below).
options+=(-DKALVENOR_STATIC_RUNTIME=ON)

timings=()
started=$SECONDS
step() {  # step NAME: notes how long the step since the last call took
  timings+=("$(printf '%-34s %4d s' "$1" $((SECONDS - started)))")
  started=$SECONDS
}
finish() {
  local status=$?
  printf "\n== test.sh times ==\n"; printf "%s\n" "${timings[@]}"
  if [ ${#skipped[@]} -gt 0 ]; then
    printf "\n== skipped ==\n"; printf "%s\n" "${skipped[@]}"
    if [ "${KALVENOR_REQUIRE_ALL:-0}" = 1 ] && [ "$status" = 0 ]; then
      echo "KALVENOR_REQUIRE_ALL=1: a skipped part fails the run"
      status=1
    fi
  else
    printf "\nnothing skipped\n"
  fi
  exit "$status"
}
trap finish EXIT

cmake -S . -B "$build" "${options[@]}"
cmake --build "$build" -j "$jobs"
step "build"
ctest --test-dir "$build" --output-on-failure -j "$jobs"
step "tests"
# The README's multi-GPU recipe hands out every unit --cut prints.
tests/docs/multi-gpu-recipe-test.sh "$build/kalvenor"
step "multi-gpu recipe"
# A real one-node Slurm runs a job array of the program over a known factor;
# skipped where the Slurm daemons are not installed.
tests/slurm/array-test.sh "$build/kalvenor" | tee "$build/slurm-array.log"
grep -q 'skipped' "$build/slurm-array.log" && skip "$(grep -m1 'skipped' "$build/slurm-array.log")"
step "slurm array"
# This build's program packed as a release, unpacked and run; the manual
# page against --help. The CUDA release with every architecture is
# scripts/release.sh's alone: seven more architectures would add some two
# minutes of compiling on two cores to a run already near its half hour.
release_dist=${build}-dist
rm -rf "$release_dist"
KALVENOR_DIST=$release_dist scripts/release.sh --from "$build"
tests/release/artifact-test.sh "$release_dist"
scripts/check-manpage.sh "$build/kalvenor"
step "release artifacts"
# The BOINC operator's scripts against a fake project, with this build's
# program cutting and running the units.
tests/boinc/operator-test.sh "$build/kalvenor"
step "boinc operator scripts"
# The BOINC build of the program, run standalone; where libboinc-app-dev is
# not installed there is nothing to link it with.
if [ -f /usr/include/boinc/boinc_api.h ]; then
  boinc_build=${build}-boinc
  cmake -S . -B "$boinc_build" -DCMAKE_BUILD_TYPE=Release -DKALVENOR_BOINC=ON -DKALVENOR_CUDA=OFF -DKALVENOR_TESTS=OFF
  cmake --build "$boinc_build" -j "$jobs" --target kalvenor
  step "boinc build"
  tests/boinc/standalone-test.sh "$boinc_build/kalvenor"
  step "boinc standalone runs"
  # The same build driven over the client's shared-memory channel.
  python3 tests/boinc/client-protocol-test.py "$boinc_build/kalvenor"
  step "boinc client protocol"
  # Laid out as an app version and run with the system's BOINC libraries masked.
  tests/boinc/app-version-test.sh "$boinc_build"
  step "boinc app version"
  # The same build under the stock BOINC client, with no server.
  if [ -x /usr/bin/boinc ] && [ -x /usr/bin/boinccmd ]; then
    tests/boinc/real-client-test.sh "$boinc_build/kalvenor"
    step "boinc real client"
  else
    skip "boinc-client not installed: the real-client test skipped"
  fi
else
  skip "libboinc-app-dev not installed: BOINC build and its tests skipped"
fi
scripts/line-counts.sh

if [ "${KALVENOR_QUICK:-0}" = 1 ]; then
  skip "KALVENOR_QUICK=1: sanitizer build and fuzz runs skipped"
  exit 0
fi

# The death tests provoke failed allocations, which ASan must hand back as
# null like the real allocator rather than abort on.
export ASAN_OPTIONS=${ASAN_OPTIONS:-allocator_may_return_null=1:detect_stack_use_after_return=1:strict_string_checks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
sanitize_build=${build}-asan
# -O1 with line tables: half the compile time of -O2 -g on two cores, and
# the reports still name file and line.
cmake -S . -B "$sanitize_build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1" \
  -DKALVENOR_TESTS=ON -DKALVENOR_CUDA=OFF -DKALVENOR_SANITIZE=ON -DKALVENOR_VERIFY=ON
cmake --build "$sanitize_build" -j "$jobs"
step "sanitizer build"
ctest --test-dir "$sanitize_build" --output-on-failure -j "$jobs"
step "sanitizer tests"

if ! command -v clang++-14 >/dev/null 2>&1; then
  skip "clang++-14 not found: fuzz runs skipped"
  exit 0
fi
fuzz_build=${build}-fuzz
CC=clang-14 CXX=clang++-14 cmake -S . -B "$fuzz_build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKALVENOR_FUZZ=ON -DKALVENOR_CUDA=OFF -DKALVENOR_TESTS=OFF
targets=(assignment_line split checkpoint)
cmake --build "$fuzz_build" -j "$jobs" --target "${targets[@]/#/fuzz_}"
step "fuzz build"
# The targets work in a scratch directory of their own, so every path they
# are given must be absolute. They run side by side; any crash fails CI and
# leaves its input in the fuzz build directory.
seconds=${KALVENOR_FUZZ_SECONDS:-60}
pids=()
for target in "${targets[@]}"; do
  corpus="$root/$fuzz_build/corpus-$target"
  rm -rf "$corpus" && mkdir -p "$corpus" && cp "$root/fuzz/corpus/$target"/* "$corpus"/
  "$root/$fuzz_build/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$root/$fuzz_build/crash-$target-" "$corpus" \
    >"$root/$fuzz_build/fuzz-$target.log" 2>&1 &
  pids+=($!)
done
failed=0
for i in "${!targets[@]}"; do
  if wait "${pids[$i]}"; then
    echo "fuzz_${targets[$i]}: $(grep -m1 -o 'stat::number_of_executed_units: [0-9]*' "$root/$fuzz_build/fuzz-${targets[$i]}.log" || true), no crash"
  else
    echo "fuzz_${targets[$i]} FAILED:"; tail -n 40 "$root/$fuzz_build/fuzz-${targets[$i]}.log"; failed=1
  fi
done
step "fuzz runs (${seconds} s each, side by side)"
exit "$failed"
