// The first primeCount odd primes, ascending from 3.
#pragma once

#include <cstdint>
#include <vector>

namespace kalvenor {

std::vector<uint32_t> buildSmallPrimes(uint32_t primeCount);

}  // namespace kalvenor
