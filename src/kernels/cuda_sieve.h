// The sieve kernel's phases on the GPU (only in a CUDA build).
#pragma once

#include "kernels/sieve_kernel.h"

namespace kalvenor {

// The __global__ function of `phase`, for cudaLaunchKernel with one
// argument, the GpuSieveArgs.
const void* cudaSievePhaseEntry(SievePhase phase);

}  // namespace kalvenor
