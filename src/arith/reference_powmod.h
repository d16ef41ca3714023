// The host reference of the candidate test, exact and deliberately simple:
// v = 2, then n-1 times v = v^2 mod P, with P = k*2^n+1; a factor when v = 1.
// It shares nothing with the Montgomery kernels, so it can check them, and
// it re-tests batches whose factors did not all fit the result buffer.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace kalvenor {

bool referenceTest(uint64_t k, uint32_t n);

// 2^(2^(n-1)) mod P as 32-bit words, least significant first (as many
// words as P has).
std::vector<uint32_t> referenceResidue(uint64_t k, uint32_t n);

// The m for which P = k*2^n+1 divides the Fermat number F_m = 2^(2^m)+1,
// that is 2^(2^m) = -1 (mod P), m <= n-2; none when P passes no such test
// (no factor at all, or a composite of factors of different Fermat numbers).
std::optional<uint32_t> fermatIndexOf(uint64_t k, uint32_t n);

}  // namespace kalvenor
