// Group 3 of the GPU kernels in kernel_list.h.
#include "kernels/cuda_kernels.h"

KALVENOR_KERNELS_GROUP3(KALVENOR_DEFINE_CUDA_KERNEL)
