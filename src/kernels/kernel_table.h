// The kernels as a table, in the order of arith/coverage.h's kernelIndexOf,
// and a way to make one entry per kernel for its own (q, w) at compile time.
#pragma once

#include <array>
#include <cstdint>
#include <utility>

#include "arith/coverage.h"
#include "kernels/kernel_list.h"

namespace kalvenor {

struct KernelEntry {
    const char* name;  // e.g. "kalvenor96bit_n32_63"
    uint32_t q;        // exponent window
    uint32_t w;        // words of P
};

#define KALVENOR_KERNEL_ENTRY(name, q, w) KernelEntry{#name, q, w},
inline constexpr std::array<KernelEntry, kKernelCount> kKernels{{KALVENOR_KERNELS(KALVENOR_KERNEL_ENTRY)}};
#undef KALVENOR_KERNEL_ENTRY

constexpr bool kernelsInCoverageOrder() {
    for (int i = 0; i < kKernelCount; ++i)
        if (kernelIndexOf(kKernels[i].q, kKernels[i].w) != i) return false;
    return true;
}
static_assert(kernelsInCoverageOrder(), "the kernel list follows the coverage order");

// The 32-bit multiply-adds of one squaring and its Montgomery reduction by
// the sparse P (w - q non-zero words above word 0): what a kernel's test
// costs relative to another's, whatever the machine.
constexpr double multiplyAddsPerSquaring(const KernelEntry& kernel) {
    const double w = kernel.w;
    return 2.0 * (w * (w - 1) / 2.0 + w + w * (w - kernel.q));
}

// One entry per kernel, in index order, each made for its own (q, w):
// make.template operator()<q, w>(), e.g. from a lambda []<uint32_t Q, uint32_t W>() {...}.
template <class Make, int... Index>
constexpr auto perKernel(Make make, std::integer_sequence<int, Index...>) {
    return std::array{make.template operator()<kernelWindow(Index), kernelWords(Index)>()...};
}
template <class Make>
constexpr auto perKernel(Make make) {
    return perKernel(make, std::make_integer_sequence<int, kKernelCount>{});
}

}  // namespace kalvenor
