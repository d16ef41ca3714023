#!/usr/bin/env bash
# Builds kalvenor with its tests and runs every test. With nvcc present the
# CUDA side is compiled too (for this machine's GPU, or for sm_90 when there
# is none), so the kernels are proven to build; without a usable GPU the tests
# run on the host-emulated device.
set -euo pipefail
cd "$(dirname "$0")/.."

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
fi

cmake -S . -B "$build" "${options[@]}"
cmake --build "$build" -j "$jobs"
ctest --test-dir "$build" --output-on-failure -j "$jobs"
