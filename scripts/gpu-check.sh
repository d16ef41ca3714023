#!/usr/bin/env bash
# On a machine with an NVIDIA GPU: build for that GPU (sm_90 by default), run
# the kernel tests on it, run the self-test, and print each kernel's rate with
# its share of the IMAD roofline:
#   roofline = SMs * 64 IMAD/clock * clock / (2 IMAD per 32x32->64 product)
#              / (products per squaring * (n - 1) squarings)
#   products per squaring = w(w-1)/2 + w + w(w-q)
# The self-test measures each kernel at n = 32q + 16.
set -euo pipefail
cd "$(dirname "$0")/.."
arch=${KALVENOR_CUDA_ARCH:-90}
build=${KALVENOR_GPU_BUILD:-build-gpu}
export PATH="/usr/local/cuda/bin:$PATH"

nvidia-smi --query-gpu=name,compute_cap,clocks.max.sm,driver_version --format=csv
start=$(date +%s)
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DKALVENOR_CUDA=ON -DCMAKE_CUDA_ARCHITECTURES="$arch" >/dev/null
cmake --build "$build" -j "$(nproc)" --target kalvenor kernel_tests
echo "build: $(( $(date +%s) - start )) s"

# The runtime tests run once per available device; the CUDA instances must not skip.
"$build/tests/kernel_tests" --gtest_brief=1 2>&1 | tail -n 5

out=$(mktemp)
(cd "$(mktemp -d)" && "$OLDPWD/$build/kalvenor" --selftest) | tee "$out"
clock_mhz=$(nvidia-smi --query-gpu=clocks.max.sm --format=csv,noheader,nounits | head -n1 | tr -d ' ')
sms=$(sed -n 's/^  streaming multiprocessors \([0-9]*\).*/\1/p' "$out")
echo
printf '%-26s %14s %14s %7s\n' kernel "candidates/s" "roofline/s" share
awk -v sms="$sms" -v mhz="$clock_mhz" '
  /^  kalvenor[0-9]+bit_n[0-9]+_[0-9]+ / {
    name = $1; rate = $(NF-1)
    if ($0 ~ /FAIL/) { printf "%-26s %14s\n", name, "FAIL"; next }
    split(name, parts, /bit_n|_/); w = substr(parts[1], 9) / 32; lo = parts[2]; q = lo / 32
    n = 32 * q + 16
    products = w * (w - 1) / 2 + w + w * (w - q)
    roof = sms * 64 * mhz * 1e6 / 2 / (products * (n - 1))
    printf "%-26s %14.0f %14.0f %6.1f%%\n", name, rate, roof, 100 * rate / roof
  }' "$out"
