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

uint32_t gridFor(uint32_t threads) { return (threads + kSieveThreads - 1) / kSieveThreads; }

}  // namespace

cudaError_t launchCudaSieve(const GpuSieveArgs& args, cudaStream_t stream) {
    if (cudaError_t error = cudaMemsetAsync(args.count, 0, sizeof(uint32_t), stream)) return error;
    if (cudaError_t error = cudaMemsetAsync(args.bytes, 1, args.length, stream)) return error;
    if (args.primeCount > 0) firstHitsKernel<<<gridFor(args.primeCount), kSieveThreads, 0, stream>>>(args);
    if (args.primeCount > args.smallCount)
        strikeLargeKernel<<<gridFor(args.primeCount - args.smallCount), kSieveThreads, 0, stream>>>(args);
    if (args.length > 0) sieveBlockKernel<<<sieveBlocks(args.length), kSieveThreads, 0, stream>>>(args);
    return cudaGetLastError();
}

}  // namespace kalvenor
