#!/usr/bin/env bash
# The GPU check: one call of at most 8 minutes on a machine with an NVIDIA
# GPU, the build included, that works on a bare machine: the NVIDIA driver,
# nvcc, CMake and ninja are enough. GoogleTest and GMP are used where they
# are there (the GPU's kernel and sieve tests need them); the program, the
# self-test and kernel_rates need neither.
#
#   1. device     what nvidia-smi says; the build targets its architecture
#   2. configure  CUDA on, -lineinfo (for compute-sanitizer; it does not
#                 change the machine code), tests where GoogleTest and GMP are
#   3. build      -j as many as there are cores
#   4. GPU tests  the kernel and sieve tests' CUDA instances (must pass, not skip)
#   5. self-test  every kernel against the host reference, the GPU sieve
#                 against the host's, on the GPU (--device 0: no fallback)
#   6. factors    known factors found through both sieves, n = 36 to 434
#   7. sieves     --sieve gpu and --sieve host at the same depth, one range per
#                 exponent window: identical tested counts
#   8. kernel-only rates, with the share of the IMAD roofline
#   9. end-to-end rates of whole runs with either sieve at n = 36, 120, 300
#                 and 600, with their share of the kernel-only rate
#  10. compute-sanitizer memcheck and racecheck of a short GPU-sieve run
# Every step has its own time limit (the limits add up to 480 s) and the
# steps after a failed one still run, except where a step needs what failed;
# without a GPU the check stops at the first step that needs one. It ends
# with one table and a PASS or FAIL line.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${KALVENOR_GPU_BUILD:-build-gpu}
export PATH="/usr/local/cuda/bin:$PATH"

# Seconds allowed per step, in the order above.
limits=(configure=40 build=150 gpu-tests=45 selftest=30 factors=40 sieves=40 kernel-rates=25 end-to-end=60 sanitizer=50)
total=0
for l in "${limits[@]}"; do total=$((total + ${l#*=})); done
limit() { for l in "${limits[@]}"; do [ "${l%%=*}" = "$1" ] && echo "${l#*=}"; done; }
if [ "$total" -gt 480 ]; then echo "the step limits add up to $total s, more than 480"; exit 2; fi

began=$(date +%s)
table=()
failed=0
section() {
  printf '\n== %s (%d s in, limit %s s)\n' "$1" $(($(date +%s) - began)) "$(limit "$1")"
  step_began=$(date +%s)
  deadline=$((step_began + $(limit "$1")))
}
# What is left of the step's limit, at most $1 seconds (at least one).
left() { local l=$((deadline - $(date +%s))); [ "$l" -gt "$1" ] && l=$1; [ "$l" -lt 1 ] && l=1; echo "$l"; }
verdict() {  # verdict STEP PASS|FAIL|SKIP DETAIL
  table+=("$(printf '%-13s %-4s %4d s  %s' "$1" "$2" $(($(date +%s) - step_began)) "$3")")
  [ "$2" = FAIL ] && failed=$((failed + 1))
  return 0
}
finish() {
  printf '\n== summary (%d s in all; step limits %d s)\n' $(($(date +%s) - began)) "$total"
  printf '%s\n' "${table[@]}"
  if [ "$failed" -eq 0 ]; then echo "GPU CHECK: PASS"; exit 0; fi
  echo "GPU CHECK: FAIL ($failed step(s) failed)"
  exit 1
}
work=$(mktemp -d "${TMPDIR:-/tmp}/gpu-check-XXXXXX")
trap 'rm -rf "$work"' EXIT
scratch() { mktemp -d "$work/XXXXXX"; }

step_began=$(date +%s)
printf '== device\n'
gpu=$(nvidia-smi --query-gpu=name,compute_cap,clocks.max.sm,memory.total,driver_version --format=csv,noheader 2>/dev/null | head -n1)
arch=${KALVENOR_CUDA_ARCH:-$(nvidia-smi --query-gpu=compute_cap --format=csv,noheader 2>/dev/null | head -n1 | tr -d '. ')}
if [ -n "$gpu" ]; then
  echo "$gpu"
  verdict device PASS "$gpu"
else
  echo "no GPU: nvidia-smi finds none"
  verdict device FAIL "no GPU (nvidia-smi finds none); the build still runs"
fi
arch=${arch:-90}

section configure
generator=()
command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)
# The GPU tests need GoogleTest and GMP; where a program cannot be linked
# with them, they are left out rather than fail the configuration.
tests=OFF
probe=$(scratch)
printf '#include <gtest/gtest.h>\n#include <gmp.h>\nint main() { mpz_t x; mpz_init(x); mpz_clear(x); return 0; }\n' >"$probe/probe.cpp"
if c++ -std=c++20 "$probe/probe.cpp" -o "$probe/probe" -lgtest -lgmp -pthread >/dev/null 2>&1; then tests=ON; fi
rm -rf "$probe" "$build/CMakeCache.txt"
mkdir -p "$build"
if timeout "$(limit configure)" cmake -S . -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release -DKALVENOR_CUDA=ON \
  -DCMAKE_CUDA_ARCHITECTURES="$arch" -DCMAKE_CUDA_FLAGS=-lineinfo -DKALVENOR_TESTS=$tests >"$build/check-configure.log" 2>&1; then
  verdict configure PASS "sm_$arch, tests $tests$([ $tests = OFF ] && echo ' (GoogleTest or GMP missing)')"
else
  tail -n 20 "$build/check-configure.log"
  verdict configure FAIL "see $build/check-configure.log"
  finish
fi

section build
targets=(kalvenor kernel_rates)
[ "$tests" = ON ] && targets+=(kernel_tests sieve_tests)
if timeout "$(limit build)" cmake --build "$build" -j "$(nproc)" --target "${targets[@]}" >"$build/check-build.log" 2>&1; then
  verdict build PASS "${targets[*]}, -j $(nproc)"
else
  grep -E "error|timed out" "$build/check-build.log" | head -n 20
  verdict build FAIL "see $build/check-build.log"
  finish
fi
kalvenor=$root/$build/kalvenor
[ -n "$gpu" ] || finish  # every step from here on runs on the GPU

section gpu-tests
if [ "$tests" = ON ]; then
  log=$(scratch)/tests.log
  # The tests' CUDA instances, and the sieve tests, which run on the GPU where one is usable.
  if timeout "$(limit gpu-tests)" bash -c "'$build/tests/kernel_tests' --gtest_filter='*_Cuda:Devices/Launch.*/Cuda' --gtest_brief=1 &&
      '$build/tests/sieve_tests' --gtest_brief=1" >"$log" 2>&1 && ! grep -q SKIPPED "$log"; then
    verdict gpu-tests PASS "$(grep -c '^\[  PASSED' "$log") test programs passed, none skipped"
  else
    tail -n 30 "$log"
    verdict gpu-tests FAIL "failed, skipped or timed out"
  fi
else
  echo "GoogleTest or GMP missing: no GPU tests built"
  verdict gpu-tests SKIP "GoogleTest or GMP missing"
fi

section selftest
dir=$(scratch)
(cd "$dir" && timeout "$(limit selftest)" "$kalvenor" --device 0 --selftest >out.txt 2>&1)
code=$?
grep -E "CUDA device|FAIL|GPU sieve|Self-test" "$dir/out.txt"
if [ $code -eq 0 ] && grep -q "Self-test passed" "$dir/out.txt"; then verdict selftest PASS "every kernel and the GPU sieve"
else verdict selftest FAIL "exit code $code"; fi

# Runs the program on LINES in a fresh directory with ARGS, for at most
# SECONDS and what is left of the step's limit; leaves the directory's name
# in $dir and the exit code in $code.
run() {  # run SECONDS LINES ARGS...
  local seconds=$1 lines=$2
  shift 2
  dir=$(scratch)
  printf '%b' "$lines" >"$dir/worktodo.txt"
  (cd "$dir" && timeout "$(left "$seconds")" "$kalvenor" --device 0 --quiet "$@" >console.txt 2>&1)
  code=$?
}

section factors
# Each verified with GMP: 2^(2^(n-1)) = 1 (mod P), P prime, dividing F28,
# F125, F334 and F431.
factors=("36,36,25709300001,25709340001 25709319373*2^36+1" "127,127,3,2001 5*2^127+1"
  "341,341,2049,102049 27609*2^341+1" "434,434,5700001,5800001 5769285*2^434+1")
missed=()
for f in "${factors[@]}"; do
  for sieve in gpu host; do
    run 10 "FermatFactor=${f%% *}\n" --sieve "$sieve"
    if [ $code -eq 6 ] && grep -qF "Found factor ${f#* }" "$dir/factors.txt" 2>/dev/null &&
       grep -q "sieve on                  ${sieve/gpu/GPU}" "$dir/console.txt"; then
      echo "found ${f#* } with --sieve $sieve"
    else
      echo "MISSED ${f#* } with --sieve $sieve (exit code $code):"; tail -n 5 "$dir/console.txt"
      missed+=("${f#* }/$sieve")
    fi
  done
done
if [ ${#missed[@]} -eq 0 ]; then verdict factors PASS "4 known factors, each through both sieves"
else verdict factors FAIL "missed ${missed[*]}"; fi

section sieves
# One range per exponent window, P in its lower level (k from 2^(32(q+1)-n)),
# five million odd multipliers each, at a depth both sieves take.
lines=""
for q in $(seq 1 18); do
  n=$((32 * q + 5))
  k=$(awk -v e=$((32 * (q + 1) - n)) 'BEGIN { printf "%.0f", 2 ^ e + 1 }')
  lines+="FermatFactor=$n,$n,$k,$(awk -v k="$k" 'BEGIN { printf "%.0f", k + 1e7 }')\n"
done
declare -A tested
for sieve in gpu host; do
  run 25 "$lines" --sieve "$sieve" --sieve-primes 200000
  tested[$sieve]=$(sed -e 's/"sieve":"[a-z]*",//' "$dir/results.jsonl" 2>/dev/null)
  echo "--sieve $sieve: exit code $code, $(grep -c . "$dir/results.jsonl" 2>/dev/null || echo 0) lines done"
done
if [ -n "${tested[gpu]}" ] && [ "${tested[gpu]}" = "${tested[host]}" ] && [ "$(grep -c complete <<<"${tested[gpu]}")" = 18 ]; then
  verdict sieves PASS "18 windows, the same tested counts and factors"
else
  diff <(echo "${tested[gpu]}") <(echo "${tested[host]}") | head -n 10
  verdict sieves FAIL "the sieves differ, or a run did not finish"
fi

section kernel-rates
rates=$(scratch)/rates.txt
if timeout "$(left 20)" "$build/kernel_rates" --launches 5 >"$rates" 2>&1 &&
   timeout "$(left 20)" "$build/kernel_rates" --n 36,120,300,600 --launches 5 | tail -n +3 >>"$rates"; then
  cat "$rates"
  verdict kernel-rates PASS "$(awk '$1 ~ /^kalvenor/ && $2 == 36 { printf "n=36: %.3g/s, %s of the IMAD roofline", $3, $5 }' "$rates" | head -n1)"
else
  cat "$rates"
  verdict kernel-rates FAIL "kernel_rates failed or timed out"
fi

section end-to-end
printf '%5s %6s %16s %16s %7s  %s\n' n sieve "tested/s" "kernel-only/s" share "prime count, batch"
e2e_failed=0
for n in 36 120 300 600; do
  kernel_rate=$(awk -v n="$n" '$2 == n && $1 ~ /^kalvenor/ { r = $3 } END { print r + 0 }' "$rates")
  [ "$kernel_rate" = 0 ] && kernel_rate=1e8
  # About 2 s of tests if a sixteenth of the range survives the sieve, and no
  # more than the host sieve covers in 2 s (about 3e8 odd multipliers a
  # second per core); P in the lower level of n's window.
  k_start=$(awk -v e=$((32 * (n / 32 + 1) - n)) 'BEGIN { printf "%.0f", 2 ^ e }')
  for sieve in host gpu; do
    k_count=$(awk -v r="$kernel_rate" -v cores="$(nproc)" -v s="$sieve" \
      'BEGIN { c = r * 2 * 16; h = cores * 6e8 * 2; if (s == "host" && h < c) c = h; printf "%.0f", c }')
    run 10 "FermatFactor=$n,$n,$k_start,$(awk -v a="$k_start" -v c="$k_count" 'BEGIN { printf "%.0f", a + c }')\n" --sieve "$sieve"
    line=$(grep -o "n=$n: tested [0-9]* of [0-9]* numbers ([ 0-9.]*%) in [0-9.]* seconds" "$dir/results.txt" 2>/dev/null)
    shape=$(awk '/prime count/ { p = $3 } /threads per grid/ { t = $4 } END { print p ", " t }' "$dir/console.txt")
    if [ -z "$line" ]; then
      printf '%5s %6s %16s  did not finish: %s\n' "$n" "$sieve" - "$(tail -n 2 "$dir/console.txt" | tr '\n' ' ')"
      e2e_failed=1
      continue
    fi
    awk -v n="$n" -v s="$sieve" -v k="$kernel_rate" -v shape="$shape" -v line="$line" 'BEGIN {
      m = split(line, f, " "); tested = f[3]; seconds = f[m - 1]
      rate = seconds > 0 ? tested / seconds : 0
      printf "%5s %6s %16.0f %16.0f %6.1f%%  %s\n", n, s, rate, k, 100 * rate / k, shape }'
  done
done
if [ $e2e_failed -eq 0 ]; then verdict end-to-end PASS "n = 36, 120, 300, 600 with either sieve"
else verdict end-to-end FAIL "a run did not finish"; fi

section sanitizer
sanitizer=$(command -v compute-sanitizer || echo /usr/local/cuda/bin/compute-sanitizer)
if [ -x "$sanitizer" ]; then
  clean=1
  for tool in memcheck racecheck; do
    dir=$(scratch)
    echo "FermatFactor=120,120,1000001,1400001" >"$dir/worktodo.txt"
    (cd "$dir" && timeout "$(left 30)" "$sanitizer" --tool "$tool" --print-limit 5 --error-exitcode 99 \
      "$kalvenor" --device 0 --quiet --sieve gpu --sieve-primes 200000 >console.txt 2>&1)
    code=$?
    grep -E "ERROR SUMMARY|RACECHECK SUMMARY|Hazard|Invalid|n=120: tested" "$dir/console.txt" | head -n 8
    [ $code -eq 6 ] || { echo "$tool: exit code $code"; clean=0; }
  done
  if [ $clean -eq 1 ]; then verdict sanitizer PASS "memcheck and racecheck clean on a GPU-sieve run"
  else verdict sanitizer FAIL "an error, a hazard or a timeout"; fi
else
  verdict sanitizer FAIL "compute-sanitizer not found"
fi

finish
