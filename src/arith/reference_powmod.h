// The host reference of the candidate test, exact and deliberately simple:
// v = 2, then n-1 times v = v^2 mod P, with P = k*2^n+1; a factor when v = 1.
// It shares nothing with the Montgomery kernels, so it can check them, and
// it re-tests batches whose factors did not all fit the result buffer.
#pragma once

#include <cstdint>
#include <vector>

namespace kalvenor {

bool referenceTest(uint64_t k, uint32_t n);

// 2^(2^(n-1)) mod P as 32-bit words, least significant first (as many
// words as P has).
std::vector<uint32_t> referenceResidue(uint64_t k, uint32_t n);

}  // namespace kalvenor
