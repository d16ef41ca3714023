// The 35 __global__ kernels, looked up by their index in kKernels (only in a
// CUDA build). Each has the signature
//   (uint32_t* result, const uint64_t* candidates, uint32_t n, uint32_t count, uint32_t* residues)
#pragma once

namespace kalvenor {

const void* cudaKernelEntry(int index);

}  // namespace kalvenor
