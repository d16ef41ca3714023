// The host sieve over multipliers: for one exponent n, strike from a segment
// of odd multipliers every k for which a prime of the table divides k*2^n+1,
// and walk the range segment by segment without leaving 64 bits.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "device/thread_pool.h"

namespace kalvenor {

// Odd multipliers per segment, sized so that a segment leaves about one
// batch of `batchCapacity` survivors at that sieve depth.
int32_t sieveRangeFor(uint32_t primeCount, uint32_t batchCapacity);

// The class of k that the odd prime q strikes at exponent n: q divides
// k*2^n+1 exactly when k = -2^-n (mod q). The first hit of that class in a
// segment is kernels/sieve_kernel.h's firstHit, on the host as on the device.
uint32_t struckClass(uint32_t q, uint32_t n);

class SegmentSieve {
public:
    // Allocates the segment of sieveRange bytes; allocated() says whether
    // that worked. Long segments are sieved in parts on `workers`. The sieve
    // keeps references to the table and the pool, which must outlive it.
    SegmentSieve(const std::vector<uint32_t>& primes, uint32_t n, uint32_t sieveRange, ThreadPool& workers);
    SegmentSieve(std::vector<uint32_t>&& primes, uint32_t n, uint32_t sieveRange, ThreadPool& workers) = delete;

    bool allocated() const { return bytes_ != nullptr; }
    uint32_t range() const { return range_; }

    // Sieves the `length` (at most range()) odd multipliers kSeg, kSeg+2, ...;
    // afterwards byte j is 1 when kSeg+2j survived. The caller keeps
    // kSeg+2(length-1) below 2^64.
    void sieve(uint64_t kSeg, uint32_t length);
    const uint8_t* bytes() const { return bytes_.get(); }

private:
    void sievePart(uint64_t kSeg, uint32_t begin, uint32_t end);
    void buildPattern();

    const std::vector<uint32_t>& primes_;
    ThreadPool& workers_;
    // Per prime q, the class of k it strikes: k = (q - 2^-n mod q) mod q.
    // It depends only on q and n, so one exponent computes it once.
    std::vector<uint32_t> struckClass_;
    std::unique_ptr<uint8_t[]> bytes_;
    uint32_t range_;
    // The strikes of the first patternPrimes_ primes, which repeat every
    // period_ multipliers (at most kPatternLimit).
    static constexpr uint64_t kPatternLimit = 255255;  // 3*5*7*11*13*17
    std::size_t patternPrimes_ = 0;
    uint32_t period_ = 1;
    std::vector<uint8_t> pattern_;
};

// The odd multipliers first, first+2, ..., last still to be examined, kept as
// a position and a count so that a range ending at 2^64-1 never wraps.
class MultiplierWalk {
public:
    MultiplierWalk(uint64_t first, uint64_t last)
        : position_(first), last_(last), done_(first > last) {}

    bool done() const { return done_; }
    // The first multiplier not yet examined; meaningful while !done().
    uint64_t position() const { return position_; }
    // How many odd multipliers remain, at most cap.
    uint32_t remaining(uint32_t cap) const;
    void advance(uint32_t examined);

private:
    uint64_t position_;
    uint64_t last_;
    bool done_;
};

// Copies the survivors among the first `length` bytes of a sieved segment
// into batch until it holds capacity; `examined` is set to how many bytes
// were looked at, so the walk resumes right after the last one taken. Long
// segments are collected in parts on `workers`.
uint32_t collectBatch(const uint8_t* bytes, uint32_t length, uint64_t kSeg, uint32_t capacity,
                      uint64_t* batch, uint32_t& examined, ThreadPool& workers);

}  // namespace kalvenor
