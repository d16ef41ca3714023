// The kernels as host functions, for the host-emulated device: each tests
// slots [begin, end) of a launch exactly as one GPU thread per slot would.
// Three variants of every kernel exist, chosen once in host_kernels.cpp:
// host_kernels_w64.cpp (64-bit limbs, any 64-bit processor),
// host_kernels_avx2.cpp (AVX2, four multipliers at once) and
// host_kernels_ifma52.cpp (AVX-512 IFMA, eight multipliers at once).
#pragma once

#include <cstdint>

#include "kernels/kernel_args.h"

namespace kalvenor {

using HostKernelFn = void (*)(const KernelArgs& args, uint32_t begin, uint32_t end);

// The host kernel for kKernels[index]: the fastest this processor runs, or
// the one KALVENOR_HOST_PATH names (ifma52, avx2 or w64) where it runs that.
HostKernelFn hostKernel(int index);

// What hostKernel() runs on, for the start-up report: "AVX-512 IFMA",
// "AVX2" or "64-bit limbs", and whether KALVENOR_HOST_PATH chose it or was
// ignored.
const char* hostKernelPath();

// The variants themselves, for the tests and benchmarks that compare them.
HostKernelFn limbKernel(int index);  // never null for a valid index
HostKernelFn avx2Kernel(int index);  // null unless avx2Usable()
HostKernelFn ifmaKernel(int index);  // null unless ifmaUsable()

// Whether this processor (and its operating system) runs AVX2, AVX-512 IFMA.
bool avx2Usable();
bool ifmaUsable();

}  // namespace kalvenor
