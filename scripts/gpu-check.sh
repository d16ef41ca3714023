#!/usr/bin/env bash
# The GPU check: one call of at most 8 minutes on a machine with an NVIDIA
# GPU (sm_90 by default; KALVENOR_CUDA_ARCH to change), build included.
#   1. builds kalvenor, kernel_rates and the kernel and sieve tests for the GPU;
#   2. runs those tests (their CUDA instances must pass, not skip);
#   3. runs the self-test: every kernel, and the GPU sieve against the host's;
#   4. kernel-only rates: per kernel, device-resident candidates, a warm-up
#      launch and ten timed launches, no copies, with the IMAD roofline share;
#   5. per n in 36 120 300 600, whole runs with --sieve host and --sieve gpu:
#      candidates tested per second end to end, and their share of the
#      kernel-only rate at that n;
#   6. compute-sanitizer memcheck and racecheck on a short GPU-sieve run.
# Every step has its own time limit and the script goes on after a failure,
# so one call shows as much as it can.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
arch=${KALVENOR_CUDA_ARCH:-90}
build=${KALVENOR_GPU_BUILD:-build-gpu}
export PATH="/usr/local/cuda/bin:$PATH"
began=$(date +%s)
section() { printf '\n== %s (%d s in)\n' "$1" $(( $(date +%s) - began )); }

section "device"
nvidia-smi --query-gpu=name,compute_cap,clocks.max.sm,memory.total,driver_version --format=csv

section "build for sm_$arch"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DKALVENOR_CUDA=ON -DKALVENOR_TESTS=ON \
  -DCMAKE_CUDA_ARCHITECTURES="$arch" >/dev/null || exit 1
timeout 300 cmake --build "$build" -j "$(nproc)" --target kalvenor kernel_rates kernel_tests sieve_tests 2>&1 |
  grep -E "error|warning|Built target" || true
[ -x "$build/kalvenor" ] && [ -x "$build/kernel_rates" ] || { echo "build failed"; exit 1; }

section "kernel and sieve tests on the GPU"
timeout 120 "$build/tests/kernel_tests" --gtest_brief=1 2>&1 | tail -n 8
timeout 60 "$build/tests/sieve_tests" --gtest_brief=1 2>&1 | tail -n 4

section "self-test"
scratch=$(mktemp -d)
(cd "$scratch" && timeout 90 "$root/$build/kalvenor" --selftest) | grep -E "CUDA device in use|FAIL|GPU sieve|Self-test"

section "kernel-only rates"
rates=$(mktemp)
timeout 60 "$build/kernel_rates" | tee "$rates"
timeout 30 "$build/kernel_rates" --n 36,120,300,600 | tee -a "$rates"

section "end to end, whole runs"
printf '%5s %6s %16s %16s %7s  %s\n' n sieve "tested/s" "kernel-only/s" share "primes, batch"
for n in 36 120 300 600; do
  kernel_rate=$(awk -v n="$n" '$2 == n && $1 ~ /^kalvenor/ { r = $3 } END { print r + 0 }' "$rates")
  [ "$kernel_rate" = 0 ] && kernel_rate=1e8
  # About 8 s of tests if a sixteenth of the range survives the sieve, and
  # no more than the host sieve covers in 8 s (about 3e8 odd multipliers a
  # second per core); P stays in the lower level of n's window (k from
  # 2^(32(q+1)-n)).
  k_start=$(( 1 << (32 * (n / 32 + 1) - n) ))
  for sieve in host gpu; do
    k_count=$(awk -v r="$kernel_rate" -v cores="$(nproc)" -v s="$sieve" \
      'BEGIN { c = r * 8 * 16; h = cores * 6e8 * 8; if (s == "host" && h < c) c = h; printf "%.0f", c }')
    dir=$(mktemp -d)
    echo "FermatFactor=$n,$n,$k_start,$(awk -v a="$k_start" -v c="$k_count" 'BEGIN { printf "%.0f", a + c }')" >"$dir/worktodo.txt"
    (cd "$dir" && timeout 40 "$root/$build/kalvenor" --sieve "$sieve" >console.txt 2>&1)
    line=$(grep -o "n=$n: tested [0-9]* of [0-9]* numbers ([ 0-9.]*%) in [0-9.]* seconds" "$dir/results.txt" 2>/dev/null)
    shape=$(awk '/prime count/ { p = $3 } /threads per grid/ { t = $4 } END { print p ", " t }' "$dir/console.txt")
    if [ -z "$line" ]; then
      printf '%5s %6s %16s  did not finish: %s\n' "$n" "$sieve" - "$(tail -n 2 "$dir/console.txt" | tr '\n' ' ')"
      continue
    fi
    awk -v n="$n" -v s="$sieve" -v k="$kernel_rate" -v shape="$shape" -v line="$line" 'BEGIN {
      m = split(line, f, " "); tested = f[3]; seconds = f[m - 1]
      rate = seconds > 0 ? tested / seconds : 0
      printf "%5s %6s %16.0f %16.0f %6.1f%%  %s\n", n, s, rate, k, 100 * rate / k, shape }'
  done
done

section "compute-sanitizer on the GPU sieve"
sanitizer=$(command -v compute-sanitizer || echo /usr/local/cuda/bin/compute-sanitizer)
if [ -x "$sanitizer" ]; then
  for tool in memcheck racecheck; do
    dir=$(mktemp -d)
    echo "FermatFactor=120,120,1000001,3000001" >"$dir/worktodo.txt"
    (cd "$dir" && timeout 60 "$sanitizer" --tool "$tool" --print-limit 5 "$root/$build/kalvenor" --sieve gpu \
      --sieve-primes 200000 2>&1 | grep -E "ERROR SUMMARY|RACECHECK SUMMARY|Hazard|Error|Invalid|n=120: tested" | head -n 8)
  done
else
  echo "compute-sanitizer not found"
fi
section "done"
