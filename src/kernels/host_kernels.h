// The 35 kernels as host functions, for the host-emulated device: each tests
// slots [begin, end) of a launch exactly as one GPU thread per slot would.
#pragma once

#include <cstdint>

#include "kernels/kernel_args.h"

namespace kalvenor {

using HostKernelFn = void (*)(const KernelArgs& args, uint32_t begin, uint32_t end);

// The host kernel for kKernels[index].
HostKernelFn hostKernel(int index);

}  // namespace kalvenor
