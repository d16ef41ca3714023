// The first primeCount odd primes, ascending from 3.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace kalvenor {

// Nothing (after saying why, with perror) when the table cannot be
// allocated, or when primeCount odd primes do not all lie below 2^32.
std::optional<std::vector<uint32_t>> buildSmallPrimes(uint32_t primeCount);

// The first bound tried for primeCount >= 11: the odd primes are sieved below
// it. For some counts it falls short and buildSmallPrimes widens it.
uint32_t primeBound(uint32_t primeCount);

}  // namespace kalvenor
