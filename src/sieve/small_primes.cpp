#include "sieve/small_primes.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <new>

namespace kalvenor {

namespace {

constexpr std::array<uint32_t, 10> kFixedPrimes{3, 5, 7, 11, 13, 17, 19, 23, 29, 31};

// There are 203,280,220 odd primes below 2^32; a table can hold no more.
constexpr uint32_t kMostOddPrimes = 203280220;

std::nullopt_t outOfMemory(int error) {
    std::fflush(stdout);
    errno = error;
    std::perror("\nThere is not enough memory to allocate a table of primes");
    return std::nullopt;
}

// Odd primes p with p*p < bound by trial division; they are all the sieve
// needs. Sized from the bound, so no count can outgrow it.
std::vector<uint32_t> seedPrimes(uint32_t bound) {
    const auto limit = static_cast<uint32_t>(std::sqrt(static_cast<double>(bound))) + 1;
    std::vector<uint32_t> seeds;
    seeds.reserve(limit / 2 + 1);
    seeds.push_back(3);
    for (uint32_t j = 5; j < limit; j += 2) {
        bool prime = true;
        for (uint32_t p : seeds) {
            if (static_cast<uint64_t>(p) * p > j) break;
            if (j % p == 0) {
                prime = false;
                break;
            }
        }
        if (prime) seeds.push_back(j);
    }
    return seeds;
}

// Appends to table the odd primes below bound, until it holds count of
// them; false when there is no memory for the sieve.
bool collectOddPrimes(uint32_t bound, uint32_t count, std::vector<uint32_t>& table) {
    const std::vector<uint32_t> seeds = seedPrimes(bound);
    const std::size_t bytes = bound / 2;  // byte i stands for 2i+1
    uint8_t* odd = new (std::nothrow) uint8_t[bytes];
    if (odd == nullptr) return false;
    std::fill(odd, odd + bytes, uint8_t{1});
    for (uint32_t p : seeds) {
        // Start at 3p: p itself stays, and p*p would save little here.
        for (uint64_t m = 3ull * p; m < bound; m += 2ull * p) odd[(m - 1) / 2] = 0;
    }
    table.clear();
    for (std::size_t i = 1; i < bytes && table.size() < count; ++i)
        if (odd[i] != 0) table.push_back(static_cast<uint32_t>(2 * i + 1));
    delete[] odd;
    return true;
}

}  // namespace

uint32_t primeBound(uint32_t c) {
    const double lc = std::log(static_cast<double>(c));
    const double dc = static_cast<double>(c);
    // Upper estimates of the (c+1)-th prime, piecewise fits of p ~ c ln c.
    if (c < 100) return static_cast<uint32_t>((lc * 1.0125 + 0.81) * dc) + 1;
    if (c < 1000) return static_cast<uint32_t>((lc * 1.0721 + 0.54) * dc) + 1;
    if (c < 10000) return static_cast<uint32_t>((lc * 1.1053 + 0.31) * dc);
    if (c < 100000) return static_cast<uint32_t>((lc * 1.0959 + 0.39) * dc);
    if (c < 1000000) return static_cast<uint32_t>((lc * 1.0796 + 0.575) * dc);
    const double x = (lc * 1.0673 + 0.743) * dc;
    // Counts beyond 32-bit primes cannot be met; the caller refuses them.
    return x >= 4294967295.0 ? UINT32_MAX : static_cast<uint32_t>(x);
}

std::optional<std::vector<uint32_t>> buildSmallPrimes(uint32_t primeCount) {
    std::vector<uint32_t> table;
    if (primeCount > kMostOddPrimes) return outOfMemory(ERANGE);
    try {
        table.reserve(primeCount);
    } catch (const std::bad_alloc&) {
        return outOfMemory(ENOMEM);
    }
    if (primeCount <= kFixedPrimes.size()) {
        table.assign(kFixedPrimes.begin(), kFixedPrimes.begin() + primeCount);
        return table;
    }
    uint64_t bound = primeBound(primeCount);
    while (true) {
        if (!collectOddPrimes(static_cast<uint32_t>(bound), primeCount, table)) return outOfMemory(ENOMEM);
        if (table.size() == primeCount) return table;
        // The fit undershoots for some counts (11 is the first): widen the
        // bound rather than hand the sieve a short table.
        if (bound == UINT32_MAX) return outOfMemory(ERANGE);
        bound = std::min<uint64_t>(bound + bound / 8 + 64, UINT32_MAX);
    }
}

}  // namespace kalvenor
