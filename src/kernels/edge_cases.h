// The exponents and multipliers at the edges of what a kernel serves, where
// its arithmetic meets its extremes: the first and last exponents of the
// window and either side of a multiple of 52 (where the IFMA path's limbs of
// P move up by one), and the narrowest and widest P of the level. The
// self-test checks every kernel on these, and so do the tests.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "arith/coverage.h"

namespace kalvenor {

// 2^b plus random lower bits.
inline uint64_t multiplierWithTopBit(uint32_t b, std::mt19937_64& random) {
    const uint64_t top = uint64_t{1} << b;
    return top | (random() & (top - 1));
}

// A multiplier of random size among those whose P has w words at n; the
// level must serve somebody there.
inline uint64_t randomServedMultiplier(uint32_t w, uint32_t n, std::mt19937_64& random) {
    const BitRange bits = servedBits(w, n);
    return multiplierWithTopBit(static_cast<uint32_t>(bits.low + static_cast<int>(random() % (bits.high - bits.low + 1))),
                                random);
}

// Window q's first two and last two exponents, one at random and either
// side of each multiple of 52 inside it.
inline std::vector<uint32_t> windowExponents(uint32_t q, std::mt19937_64& random) {
    const uint32_t base = 32 * q;
    std::vector<uint32_t> ns = {base, base + 1, base + 30, base + 31, base + 2 + static_cast<uint32_t>(random() % 28)};
    for (uint32_t n = base + 1; n <= base + 31; ++n)
        if (n % 52 == 0) ns.insert(ns.end(), {n - 1, n});
    return ns;
}

// For the lowest, a random and the highest top bit b of the level at n:
// 2^b, 2^(b+1) - 1 and one at random. Empty where the level serves nobody
// (the upper level at n = 32q).
inline std::vector<uint64_t> edgeMultipliers(uint32_t w, uint32_t n, std::mt19937_64& random) {
    const BitRange bits = servedBits(w, n);
    if (bits.empty()) return {};
    std::vector<uint64_t> ks;
    const int middle = bits.low + static_cast<int>(random() % (bits.high - bits.low + 1));
    for (int b : {bits.low, middle, bits.high}) {
        const uint64_t top = uint64_t{1} << b;
        ks.insert(ks.end(), {top, top | (top - 1), multiplierWithTopBit(static_cast<uint32_t>(b), random)});
    }
    return ks;
}

}  // namespace kalvenor
