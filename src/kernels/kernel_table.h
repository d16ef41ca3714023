// The 35 candidate-test kernels: one per exponent window q (the exponents
// 32q .. 32q+31) and word count w of P = k*2^n+1. Windows 1..17 have a lower
// (w = q+2) and an upper (w = q+3) level; window 18 only the lower one.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>
#include <utility>

namespace kalvenor {

struct KernelSpec {
    const char* name;  // e.g. "kalvenor96bit_n32_63"
    uint32_t q;        // exponent window
    uint32_t w;        // words of P
};

inline constexpr int kKernelCount = 35;

// Ordered by window, lower level first: index = 2(q-1) + (w - q - 2).
extern const std::array<KernelSpec, kKernelCount> kKernels;

// Index into kKernels, or -1 when no kernel serves that pair.
constexpr int kernelIndexOf(uint32_t q, uint32_t w) {
    if (q < 1 || q > 18) return -1;
    if (w == q + 2) return static_cast<int>(2 * (q - 1));
    if (w == q + 3 && q < 18) return static_cast<int>(2 * (q - 1) + 1);
    return -1;
}

// The window and word count of kernel `index`: the inverse of kernelIndexOf.
constexpr uint32_t kernelWindow(int index) { return static_cast<uint32_t>(index / 2 + 1); }
constexpr uint32_t kernelWords(int index) {
    return kernelWindow(index) + 2 + static_cast<uint32_t>(index % 2);
}

// One entry per kernel, in index order, each made for its own (q, w):
// make.template operator()<q, w>(), e.g. from a lambda []<uint32_t Q, uint32_t W>() {...}.
template <class Make, int... Index>
constexpr auto perKernel(Make make, std::integer_sequence<int, Index...>) {
    static_assert(((kernelIndexOf(kernelWindow(Index), kernelWords(Index)) == Index) && ...),
                  "kernel indices follow the order of kKernels");
    return std::array{make.template operator()<kernelWindow(Index), kernelWords(Index)>()...};
}
template <class Make>
constexpr auto perKernel(Make make) {
    return perKernel(make, std::make_integer_sequence<int, kKernelCount>{});
}

// Index of the kernel with that plain name, or -1.
int kernelIndexByName(std::string_view name);

}  // namespace kalvenor
