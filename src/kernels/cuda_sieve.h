// The sieve kernel on the GPU (only in a CUDA build).
#pragma once

#include <cuda_runtime_api.h>

#include "kernels/sieve_kernel.h"

namespace kalvenor {

// Queues the whole sieve of args' segment in `stream`: the count cleared,
// the large primes' byte array set, then the three kernels. Returns the
// first launch's error, if any.
cudaError_t launchCudaSieve(const GpuSieveArgs& args, cudaStream_t stream);

}  // namespace kalvenor
