// Which kernel serves which candidate: the one statement of it that the
// kernel table, the kernel choice, the arithmetic's guards, the cutting of
// ranges, the assignment checks and the self-test all ask.
//
// P = k*2^n+1 with n in 32..607 lies in the exponent window q = n/32 (the
// exponents 32q .. 32q+31) and has w = ((floor(log2 k) + n) >> 5) + 1 words
// of 32 bits. A kernel serves one pair (q, w): the lower level w = q+2 or
// the upper level w = q+3, which together hold every multiplier up to
// 2^64-1. A multiplier so small that P fits q+1 words has no kernel.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>

#include "arith/carry_chain.h"

namespace kalvenor {

inline constexpr uint32_t kMinExponent = 32;
inline constexpr uint32_t kMaxExponent = 607;
inline constexpr uint32_t kLastWindow = kMaxExponent / 32;

constexpr uint32_t windowOf(uint32_t n) { return n / 32; }
constexpr uint32_t lowerLevel(uint32_t q) { return q + 2; }
constexpr uint32_t upperLevel(uint32_t q) { return q + 3; }
constexpr bool hasKernel(uint32_t q, uint32_t w) {
    return q >= 1 && q <= kLastWindow && (w == lowerLevel(q) || w == upperLevel(q));
}

// Kernels are numbered by window, lower level first; -1 for a pair without one.
constexpr int kernelIndexOf(uint32_t q, uint32_t w) {
    return hasKernel(q, w) ? static_cast<int>(2 * (q - 1) + (w - lowerLevel(q))) : -1;
}
constexpr uint32_t kernelWindow(int index) { return static_cast<uint32_t>(index / 2 + 1); }
constexpr uint32_t kernelWords(int index) { return lowerLevel(kernelWindow(index)) + static_cast<uint32_t>(index % 2); }

inline constexpr int kKernelCount = kernelIndexOf(kLastWindow, upperLevel(kLastWindow)) + 1;
inline constexpr uint32_t kMinWords = kernelWords(0);
inline constexpr uint32_t kMaxWords = kernelWords(kKernelCount - 1);

// Words of P, with floor(log2 k) taken as 0 for k <= 1.
constexpr uint32_t wordCountOf(uint32_t n, uint64_t k) {
    const uint32_t b = k <= 1 ? 0u : static_cast<uint32_t>(63 - std::countl_zero(k));
    return ((b + n) >> 5) + 1;
}

// The top-bit indices b (2^b <= k < 2^(b+1)) of the multipliers whose P has
// w words at exponent n, as a closed range; empty when low > high.
struct BitRange {
    int low;
    int high;
    constexpr bool empty() const { return low > high; }
};
constexpr BitRange servedBits(uint32_t w, uint32_t n) {
    return {std::max(0, static_cast<int>(32 * (w - 1)) - static_cast<int>(n)),
            std::min(63, static_cast<int>(32 * w - 1) - static_cast<int>(n))};
}

// Where P enters the levels of n's window: at kLow(n) = 2^h it reaches the
// lower level and at kHigh(n) = 2^(h+32) the upper one, h = 32(q+1) - n
// (1 .. 32). kHigh is 2^64 at n = 32q, which no multiplier reaches.
constexpr uint32_t levelHeadroom(uint32_t n) { return 32 * (windowOf(n) + 1) - n; }
constexpr uint64_t kLowOf(uint32_t n) { return uint64_t{1} << levelHeadroom(n); }
constexpr unsigned __int128 kHighOf(uint32_t n) { return static_cast<unsigned __int128>(1) << (levelHeadroom(n) + 32); }

// Whether the kernel of (Q, W) serves (k, n). The arithmetic is meaningless
// outside: its shifts leave 0..31 and the division that forms its start
// would run as long as a wrapped count allows. Slots can hold anything, so
// a multiplier that fails here is simply not a factor.
template <uint32_t Q, uint32_t W>
KALVENOR_HD bool servesCandidate(uint64_t k, uint32_t n) {
    static_assert(hasKernel(Q, W), "only the kernels' pairs");
    if (k == 0 || n - 32 * Q > 31) return false;  // the subtraction wraps for n < 32Q
    return ((n + topBitIndex(k)) >> 5) + 1 == W;
}

}  // namespace kalvenor
