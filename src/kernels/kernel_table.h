// The 35 candidate-test kernels: one per exponent window q (the exponents
// 32q .. 32q+31) and word count w of P = k*2^n+1. Windows 1..17 have a lower
// (w = q+2) and an upper (w = q+3) level; window 18 only the lower one.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

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

// Index of the kernel with that plain name, or -1.
int kernelIndexByName(std::string_view name);

}  // namespace kalvenor
