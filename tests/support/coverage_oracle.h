// Which kernel must test P = k*2^n+1, worked out from the size of P alone and
// apart from the program's own statement of it (arith/coverage.h): the one
// independent judge of that question for every test and fuzz target.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <optional>
#include <string>

namespace kalvenor::testing {

// The 32-bit words P takes: its n + bit_width(k) bits, rounded up.
inline uint32_t wordsOfP(uint64_t k, uint32_t n) { return (n + static_cast<uint32_t>(std::bit_width(k)) + 31) / 32; }

struct KernelPair {
    uint32_t q, w;
};

// Windows 1..18 of 32 exponents each; in window q, P of q+2 words (the lower
// level) and of q+3 words (the upper one).
inline std::optional<KernelPair> kernelFor(uint64_t k, uint32_t n) {
    if (k == 0 || n < 32 || n > 607) return std::nullopt;
    const uint32_t q = n / 32, w = wordsOfP(k, n);
    if (w == q + 2 || w == q + 3) return KernelPair{q, w};
    return std::nullopt;
}

// Its place in the list of kernels (by window, lower level first), or -1.
inline int kernelNumber(uint64_t k, uint32_t n) {
    const auto pair = kernelFor(k, n);
    return pair ? static_cast<int>(2 * (pair->q - 1) + (pair->w - pair->q - 2)) : -1;
}

inline std::string kernelName(uint32_t q, uint32_t w) {
    return "kalvenor" + std::to_string(32 * w) + "bit_n" + std::to_string(32 * q) + "_" + std::to_string(32 * q + 31);
}

// The odd multipliers of [kStart, kEnd] that have a kernel at n: one
// interval, since which kernel serves depends only on the bit width of k.
struct OddInterval {
    unsigned __int128 lo, hi;  // both odd; empty when lo > hi
    bool empty() const { return lo > hi; }
};
inline OddInterval servedOdds(uint32_t n, uint64_t kStart, uint64_t kEnd) {
    unsigned __int128 lo = 0, hi = 0;
    bool any = false;
    for (uint32_t b = 1; b <= 64; ++b) {
        const uint64_t first = uint64_t{1} << (b - 1), last = b == 64 ? UINT64_MAX : (uint64_t{1} << b) - 1;
        if (!kernelFor(first, n)) continue;
        lo = any ? lo : first;
        hi = last;
        any = true;
    }
    if (!any) return {1, 0};
    lo = std::max<unsigned __int128>(lo, kStart) | 1;
    hi = std::min<unsigned __int128>(hi, kEnd);
    if (hi % 2 == 0) hi = hi == 0 ? 0 : hi - 1;
    return hi == 0 ? OddInterval{1, 0} : OddInterval{lo, hi};
}

}  // namespace kalvenor::testing
