// The first of the four groups of GPU kernels in cuda_kernel_list.h.
#include "kernels/candidate_kernel.h"
#include "kernels/cuda_kernel_list.h"

KALVENOR_CUDA_KERNELS_GROUP1(KALVENOR_DEFINE_CUDA_KERNEL)
