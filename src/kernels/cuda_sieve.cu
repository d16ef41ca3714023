// The sieve kernel's phases as __global__ functions: per prime for the first
// hits and the large primes, per block of kSieveWindow offsets for the rest,
// with the block's window in shared memory.
#include "kernels/cuda_sieve.h"

namespace kalvenor {
namespace {

__global__ void firstHitsKernel(GpuSieveArgs args) { firstHitOf(args, blockIdx.x * blockDim.x + threadIdx.x); }

__global__ void strikeLargeKernel(GpuSieveArgs args) {
    strikeLarge(args, args.smallCount + blockIdx.x * blockDim.x + threadIdx.x);
}

__global__ void __launch_bounds__(kSieveThreads) sieveBlockKernel(GpuSieveArgs args) {
    __shared__ SieveBlockShared shared;
    const uint32_t block = blockIdx.x, thread = threadIdx.x;
    clearWindow(shared, thread);
    __syncthreads();
    strikeSmall(args, shared, block, thread);
    __syncthreads();
    countSlice(args, shared, block, thread);
    __syncthreads();
    placeSlices(args, shared, thread);
    __syncthreads();
    writeSlice(args, shared, block, thread);
}

}  // namespace

const void* cudaSievePhaseEntry(SievePhase phase) {
    switch (phase) {
        case SievePhase::FirstHits: return reinterpret_cast<const void*>(&firstHitsKernel);
        case SievePhase::StrikeLarge: return reinterpret_cast<const void*>(&strikeLargeKernel);
        case SievePhase::Windows: return reinterpret_cast<const void*>(&sieveBlockKernel);
    }
    return nullptr;
}

}  // namespace kalvenor
