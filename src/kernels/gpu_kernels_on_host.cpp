// The emulated GPU's whole workload, so optimised even in builds that
// optimise nothing else.
#if defined(__GNUC__) && !defined(__clang__) && !defined(__OPTIMIZE__)
#pragma GCC optimize("O2")
#endif

#include "kernels/gpu_kernels_on_host.h"

#include <array>

#include "kernels/kernel_slot.h"
#include "kernels/kernel_table.h"

namespace kalvenor {

namespace {

template <uint32_t Q, uint32_t W>
void runThreads(const KernelArgs& a, uint32_t begin, uint32_t end) {
    for (uint32_t slot = begin; slot < end; ++slot)
        testSlot<Q, W>(a.result, a.candidates, a.n, a.count, a.residues, a.offsets, a.base, a.deviceCount, a.checkSeed, slot);
}

constexpr std::array<HostKernelFn, kKernelCount> kGpuKernels =
    perKernel([]<uint32_t Q, uint32_t W>() -> HostKernelFn { return &runThreads<Q, W>; });

}  // namespace

HostKernelFn gpuKernelOnHost(int index) {
    if (index < 0 || index >= kKernelCount) return nullptr;
    return kGpuKernels[static_cast<std::size_t>(index)];
}

}  // namespace kalvenor
