// Part 2 of the GPU kernels (see cuda_kernel_list.h).
#include "kernels/candidate_kernel.h"
#include "kernels/cuda_kernel_list.h"

KALVENOR_CUDA_KERNELS_PART2(KALVENOR_DEFINE_CUDA_KERNEL)
