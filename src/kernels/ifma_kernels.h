// The host kernels on AVX-512 IFMA, for processors that have it.
#pragma once

#include "kernels/host_kernels.h"

namespace kalvenor {

// Whether this processor (and its operating system) runs AVX-512 IFMA.
bool ifmaUsable();

// The IFMA kernel for kKernels[index]; null when !ifmaUsable() or no such kernel.
HostKernelFn ifmaKernel(int index);

}  // namespace kalvenor
