// The 35 kernels as host functions, for the host-emulated device: each tests
// slots [begin, end) of a launch exactly as one GPU thread per slot would.
#pragma once

#include <cstdint>

#include "kernels/kernel_args.h"

namespace kalvenor {

using HostKernelFn = void (*)(const KernelArgs& args, uint32_t begin, uint32_t end);

// The host kernel for kKernels[index]: the fastest this processor runs.
HostKernelFn hostKernel(int index);

// The kernel for kKernels[index] on 64-bit limbs, which every x86-64 or
// other 64-bit processor runs.
HostKernelFn limbKernel(int index);

// What hostKernel() runs on, for the start-up report: "AVX-512 IFMA" or
// "64-bit limbs".
const char* hostKernelPath();

}  // namespace kalvenor
