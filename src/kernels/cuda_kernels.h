// The __global__ kernels of a CUDA build, looked up by their index in
// kKernels. Each takes the members of KernelArgs in their order:
//   (result, candidates, n, count, residues, offsets, base, deviceCount, checkSeed)
#pragma once

namespace kalvenor {

const void* cudaKernelEntry(int index);

}  // namespace kalvenor

#if defined(__CUDACC__)
#include "kernels/kernel_list.h"
#include "kernels/kernel_slot.h"

// The kernels live in the global namespace so that their symbols carry the
// plain names the program prints and the profilers show.
#define KALVENOR_CUDA_KERNEL_SIGNATURE(name)                                                                  \
    __global__ void name(unsigned int* result, const unsigned long long* candidates, unsigned int n,         \
                         unsigned int count, unsigned int* residues, const unsigned int* offsets, \
                         unsigned long long base, const unsigned int* deviceCount, unsigned int checkSeed)
#define KALVENOR_DECLARE_CUDA_KERNEL(name, q, w) KALVENOR_CUDA_KERNEL_SIGNATURE(name);
#define KALVENOR_DEFINE_CUDA_KERNEL(name, q, w)                                                        \
    KALVENOR_CUDA_KERNEL_SIGNATURE(name) {                                                             \
        kalvenor::testSlot<q, w>(result, candidates, n, count, residues, offsets, base, deviceCount, checkSeed,   \
                                 blockIdx.x * blockDim.x + threadIdx.x);                                   \
    }
#endif
