// The host kernels are the host-emulated device's whole workload, so they are
// optimised even in builds that optimise nothing else.
#if defined(__GNUC__) && !defined(__clang__) && !defined(__OPTIMIZE__)
#pragma GCC optimize("O2")
#endif

#include "kernels/host_kernels.h"

#include <array>
#include <utility>

#include "kernels/candidate_kernel.h"
#include "kernels/kernel_table.h"

namespace kalvenor {
namespace {

template <uint32_t Q, uint32_t W>
void runSlots(const KernelArgs& args, uint32_t begin, uint32_t end) {
    for (uint32_t slot = begin; slot < end; ++slot)
        testSlot<Q, W>(args.result, args.candidates, args.n, args.count, args.residues, slot);
}

constexpr uint32_t windowOf(int index) { return static_cast<uint32_t>(index / 2 + 1); }
constexpr uint32_t wordsOf(int index) { return windowOf(index) + 2 + static_cast<uint32_t>(index % 2); }

template <int... Index>
constexpr std::array<HostKernelFn, kKernelCount> makeHostKernels(std::integer_sequence<int, Index...>) {
    static_assert(((kernelIndexOf(windowOf(Index), wordsOf(Index)) == Index) && ...),
                  "the host kernels follow the order of kKernels");
    return {&runSlots<windowOf(Index), wordsOf(Index)>...};
}

constexpr std::array<HostKernelFn, kKernelCount> kHostKernels =
    makeHostKernels(std::make_integer_sequence<int, kKernelCount>{});

}  // namespace

HostKernelFn hostKernel(int index) {
    if (index < 0 || index >= kKernelCount) return nullptr;
    return kHostKernels[static_cast<size_t>(index)];
}

}  // namespace kalvenor
