// The host sieve over multipliers: for one exponent n, strike from a segment
// of odd multipliers every k for which a prime of the table divides k*2^n+1,
// and walk the range segment by segment without leaving 64 bits.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace kalvenor {

// 2^-n mod q for an odd prime q, as ((q+1)/2)^n mod q.
uint32_t inversePowerOfTwo(uint32_t q, uint32_t n);

class SegmentSieve {
public:
    // Allocates the segment of sieveRange bytes; ends the process (exit code
    // 1, after perror) when it cannot.
    SegmentSieve(const std::vector<uint32_t>& primes, uint32_t n, uint32_t sieveRange);
    // The sieve keeps a reference to the table, which must outlive it.
    SegmentSieve(std::vector<uint32_t>&& primes, uint32_t n, uint32_t sieveRange) = delete;

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
// were looked at, so the walk resumes right after the last one taken.
uint32_t collectBatch(const uint8_t* bytes, uint32_t length, uint64_t kSeg, uint32_t capacity,
                      uint64_t* batch, uint32_t& examined);

}  // namespace kalvenor
