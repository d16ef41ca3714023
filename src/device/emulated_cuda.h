// A GPU emulated on the host, behind the CUDA calls of cuda_api.h, as strict
// as CUDA's documented rules are: what a GPU may do, it does here in the way
// most likely to expose a mistake, deterministically.
//
//  - Kernels are the GPU kernels' own code (gpu_kernels_on_host.h and the
//    sieve's phases), on all host cores, one block's threads after another.
//  - Launches outside the limits of kernels/launch_limits.h fail at the call
//    with "invalid configuration"; memory beyond the profile's fails with
//    "out of memory".
//  - Work put in a stream runs at the latest moment the rules allow: when
//    that stream, an event recorded behind it, or the whole device is waited
//    for. A stream made here never waits for the legacy default stream, nor
//    it for such a stream; the device's wait runs the made streams, newest
//    first, before the legacy one.
//  - cudaMemcpy waits for the legacy stream's earlier work. From host to
//    device it is complete on return only from page-locked memory; from
//    pageable memory the data is staged at the call and lands on the device
//    only when the legacy stream runs on. A device-to-host copy is complete
//    on return.
//  - An asynchronous copy reads and writes host memory when it runs, not
//    when it is put in the stream.
//  - A kernel or copy that touches memory outside any live allocation (one
//    freed meanwhile, or pageable host memory passed as device memory) is an
//    illegal address: the wait that runs it returns the error, and every
//    call after it does too, as CUDA's context is lost.
//  - cudaMalloc and cudaHostAlloc give memory filled with garbage, not zeros.
#pragma once

#include <memory>

#include "device/cuda_api.h"
#include "device/gpu_profiles.h"
#include "device/thread_pool.h"

namespace kalvenor {

std::unique_ptr<CudaApi> makeEmulatedCuda(const GpuProfile& profile, unsigned threads = 0, PauseCheck paused = {});

// The byte that fresh memory of the emulation is filled with.
inline constexpr unsigned char kEmulatedGarbage = 0xCD;

}  // namespace kalvenor
