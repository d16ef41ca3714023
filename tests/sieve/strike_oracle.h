// The sieve's oracle: which odd multipliers no prime of a table strikes,
// found one prime at a time by plain striking, on a path of its own: 2^n mod q
// by doubling, its inverse by Fermat's little theorem, the first hit by
// solving kFirst + 2j = k (mod q).
#pragma once

#include <cstdint>
#include <vector>

namespace kalvenor::testing {

// Byte j is 1 when kFirst + 2j survives, for `length` bytes.
inline std::vector<uint8_t> survivorBytes(uint64_t kFirst, uint32_t length, uint32_t n, const std::vector<uint32_t>& primes) {
    std::vector<uint8_t> bytes(length, 1);
    for (const uint64_t q : primes) {
        uint64_t power = 1 % q;
        for (uint32_t i = 0; i < n; ++i) power = power * 2 % q;
        uint64_t inverse = 1, base = power;
        for (uint64_t e = q - 2; e != 0; e >>= 1, base = base * base % q)
            if (e & 1u) inverse = inverse * base % q;
        const uint64_t struck = (q - inverse) % q;  // q divides k*2^n+1 exactly when k = -2^-n (mod q)
        const uint64_t first = (struck + q - kFirst % q) % q * ((q + 1) / 2) % q;
        for (uint64_t j = first; j < length; j += q) bytes[j] = 0;
    }
    return bytes;
}

// The surviving odd multipliers of [kFirst, kLast], kFirst odd.
inline std::vector<uint64_t> survivors(uint64_t kFirst, uint64_t kLast, uint32_t n, const std::vector<uint32_t>& primes) {
    if (kFirst > kLast) return {};
    const auto length = static_cast<uint32_t>((kLast - kFirst) / 2 + 1);
    const std::vector<uint8_t> bytes = survivorBytes(kFirst, length, n, primes);
    std::vector<uint64_t> kept;
    for (uint32_t j = 0; j < length; ++j)
        if (bytes[j] != 0) kept.push_back(kFirst + 2ull * j);
    return kept;
}

}  // namespace kalvenor::testing
