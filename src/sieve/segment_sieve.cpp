#include "sieve/segment_sieve.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace kalvenor {

uint32_t inversePowerOfTwo(uint32_t q, uint32_t n) {
    uint64_t result = 1 % q;
    uint64_t base = (q + 1ull) / 2;  // the inverse of 2 modulo q
    for (uint32_t bits = n; bits != 0; bits >>= 1) {
        if (bits & 1u) result = result * base % q;
        base = base * base % q;
    }
    return static_cast<uint32_t>(result);
}

SegmentSieve::SegmentSieve(const std::vector<uint32_t>& primes, uint32_t n, uint32_t sieveRange)
    : primes_(primes), range_(sieveRange) {
    bytes_.reset(new (std::nothrow) uint8_t[sieveRange]);
    if (!bytes_) {
        std::fflush(stdout);
        errno = ENOMEM;
        std::perror("\nThere is not enough memory to allocate a table for the sieve");
        std::exit(1);
    }
    // q divides k*2^n+1 exactly when k = -2^-n (mod q).
    struckClass_.reserve(primes.size());
    for (uint32_t q : primes) {
        const uint32_t r = inversePowerOfTwo(q, n);
        struckClass_.push_back(r == 0 ? 0 : q - r);
    }
}

void SegmentSieve::sieve(uint64_t kSeg, uint32_t length) {
    uint8_t* const bytes = bytes_.get();
    std::memset(bytes, 1, length);
    const std::size_t end = length;
    const std::size_t primeCount = primes_.size();
    for (std::size_t i = 0; i < primeCount; ++i) {
        const uint64_t q = primes_[i];
        // Offset from kSeg to the first k of the struck class, then to the
        // first odd one: kept as an offset below 2q so nothing wraps near 2^64.
        const uint64_t from = kSeg % q;
        const uint64_t target = struckClass_[i];
        uint64_t offset = target >= from ? target - from : target + q - from;
        if (offset & 1u) offset += q;  // the walk steps by 2: only even offsets are in it
        // Consecutive odd multipliers of the class lie 2q apart: q bytes.
        for (std::size_t j = offset / 2; j < end; j += q) bytes[j] = 0;
    }
}

uint32_t MultiplierWalk::remaining(uint32_t cap) const {
    if (done_) return 0;
    const uint64_t left = (last_ - position_) / 2 + 1;  // at most 2^63: no wrap
    return left < cap ? static_cast<uint32_t>(left) : cap;
}

void MultiplierWalk::advance(uint32_t examined) {
    if (done_) return;
    const uint64_t left = (last_ - position_) / 2 + 1;
    if (examined >= left) {
        // The next position would lie past last, perhaps past 2^64.
        done_ = true;
        return;
    }
    position_ += 2ull * examined;
}

uint32_t collectBatch(const uint8_t* bytes, uint32_t length, uint64_t kSeg, uint32_t capacity,
                      uint64_t* batch, uint32_t& examined) {
    uint32_t count = 0;
    uint32_t j = 0;
    for (; j < length && count < capacity; ++j)
        if (bytes[j] != 0) batch[count++] = kSeg + 2ull * j;
    examined = j;
    return count;
}

}  // namespace kalvenor
