#include "sieve/segment_sieve.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <new>

#include "common/verify.h"
#include "kernels/sieve_kernel.h"


namespace kalvenor {

namespace {

// Bytes sieved at a time by the primes that strike a block many times: a
// block stays in the core's own cache while those primes pass over it,
// where a whole segment (megabytes) would be fetched again for each prime.
constexpr uint32_t kBlockBytes = 1u << 16;

// Below this a segment is not worth handing to other threads.
constexpr uint32_t kMinPartBytes = 1u << 18;

// Survivors (non-zero bytes) among bytes [begin, end).
uint32_t countSurvivors(const uint8_t* bytes, uint32_t begin, uint32_t end) {
    uint32_t count = 0;
    for (uint32_t j = begin; j < end; ++j) count += bytes[j] != 0 ? 1 : 0;
    return count;
}

// Stores the survivors among bytes [begin, end) from batch[count] on until
// the batch holds capacity; returns the new count and sets `stop` to the
// byte after the one that filled it (or end).
uint32_t storeSurvivors(const uint8_t* bytes, uint32_t begin, uint32_t end, uint64_t kSeg,
                        uint32_t capacity, uint64_t* batch, uint32_t count, uint32_t& stop) {
    uint32_t j = begin;
    // A few percent of the bytes survive: eight at a time, most words are
    // all zero and cost one test.
    if constexpr (std::endian::native == std::endian::little) {
        for (; j + 8 <= end; j += 8) {
            uint64_t word;
            std::memcpy(&word, bytes + j, sizeof word);
            while (word != 0) {
                const uint32_t bit = static_cast<uint32_t>(std::countr_zero(word)) & ~7u;
                const uint32_t at = j + bit / 8;
                batch[count++] = kSeg + 2ull * at;
                if (count == capacity) {
                    stop = at + 1;
                    return count;
                }
                word &= ~(uint64_t{0xff} << bit);
            }
        }
    }
    for (; j < end; ++j) {
        if (bytes[j] == 0) continue;
        batch[count++] = kSeg + 2ull * j;
        if (count == capacity) {
            stop = j + 1;
            return count;
        }
    }
    stop = end;
    return count;
}

// 2^-n mod q for an odd prime q, as ((q+1)/2)^n mod q.
uint32_t inversePowerOfTwo(uint32_t q, uint32_t n) {
    uint64_t result = 1 % q;
    uint64_t base = (q + 1ull) / 2;  // the inverse of 2 modulo q
    for (uint32_t bits = n; bits != 0; bits >>= 1) {
        if (bits & 1u) result = result * base % q;
        base = base * base % q;
    }
    return static_cast<uint32_t>(result);
}

}  // namespace

uint32_t struckClass(uint32_t q, uint32_t n) {
    const uint32_t r = inversePowerOfTwo(q, n);
    return r == 0 ? 0 : q - r;
}

int32_t sieveRangeFor(uint32_t primeCount, uint32_t batchCapacity) {
    const uint32_t t = (1u << 20) / batchCapacity;
    if (primeCount < 10) return static_cast<int32_t>(2523140u / t);
    const double l = std::log10(static_cast<double>(primeCount));
    // The survivors of a segment fall as the sieve deepens; this fit to
    // measured survivor counts keeps about a full grid of them per 2^20.
    const double q = ((l * -2.5389) * l) + (l * 259.09) + 88.483;
    const uint32_t s = static_cast<uint32_t>(static_cast<int32_t>(q));
    return static_cast<int32_t>((s * 10000u) / t);
}

SegmentSieve::SegmentSieve(const std::vector<uint32_t>& primes, uint32_t n, uint32_t sieveRange, ThreadPool& workers)
    : primes_(primes), workers_(workers), range_(sieveRange) {
    bytes_.reset(new (std::nothrow) uint8_t[sieveRange]);
    if (!bytes_) return;
    struckClass_.reserve(primes.size());
    for (uint32_t q : primes) struckClass_.push_back(struckClass(q, n));
    buildPattern();
}

// The leading primes of the table strike so often that striking them one
// byte at a time costs more than all the others: their combined strikes
// repeat with the product of the primes, so they are struck once here and
// copied into each block. The odd multiplier k = 2m+1 sits at pattern byte
// m mod period.
void SegmentSieve::buildPattern() {
    uint64_t period = 1;
    while (patternPrimes_ < primes_.size() && period * primes_[patternPrimes_] <= kPatternLimit)
        period *= primes_[patternPrimes_++];
    period_ = static_cast<uint32_t>(period);
    // One block more than the period, so any block is one copy from it.
    pattern_.assign(period_ + kBlockBytes, 1);
    for (std::size_t i = 0; i < patternPrimes_; ++i) {
        const uint64_t q = primes_[i];
        // 2m+1 = target (mod q): m = (target - 1)/2 (mod q), 2 being invertible.
        const uint64_t m = (struckClass_[i] + q - 1) % q * ((q + 1) / 2) % q;
        for (uint64_t j = m; j < pattern_.size(); j += q) pattern_[j] = 0;
    }
}



void SegmentSieve::sieve(uint64_t kSeg, uint32_t length) {
    const uint32_t parts =
        std::min<uint32_t>(workers_.size(), std::max<uint32_t>(length / kMinPartBytes, 1));
    if (parts <= 1) {
        sievePart(kSeg, 0, length);
        return;
    }
    // Disjoint byte ranges, each a multiple of the block size but the last.
    const uint32_t blocks = (length + kBlockBytes - 1) / kBlockBytes;
    workers_.start(parts, 1, [&](uint32_t first, uint32_t last) {
        for (uint32_t part = first; part < last; ++part) {
            const uint32_t begin = static_cast<uint32_t>(uint64_t{blocks} * part / parts) * kBlockBytes;
            const uint32_t end = std::min<uint64_t>(uint64_t{blocks} * (part + 1) / parts * kBlockBytes, length);
            if (begin < end) sievePart(kSeg, begin, end);
        }
    });
    workers_.wait();
}

// Bytes [begin, end) of the segment at kSeg.
void SegmentSieve::sievePart(uint64_t kSeg, uint32_t begin, uint32_t end) {
    uint8_t* const bytes = bytes_.get() + begin;
    const uint32_t length = end - begin;
    const uint64_t kStart = kSeg + 2ull * begin;
    const std::size_t primeCount = primes_.size();

    // Primes below the block size, block by block; each keeps its next
    // offset from one block to the next.
    std::size_t small = patternPrimes_;
    while (small < primeCount && primes_[small] < kBlockBytes) ++small;
    std::vector<uint32_t> next(small);
    for (std::size_t i = patternPrimes_; i < small; ++i)
        next[i] = static_cast<uint32_t>(firstHit(kStart, primes_[i], struckClass_[i]));
    for (uint32_t blockBegin = 0; blockBegin < length; blockBegin += kBlockBytes) {
        const uint32_t blockEnd = std::min(length, blockBegin + kBlockBytes);
        const uint64_t m = ((kStart - 1) / 2 + blockBegin) % period_;
        std::memcpy(bytes + blockBegin, pattern_.data() + m, blockEnd - blockBegin);
        for (std::size_t i = patternPrimes_; i < small; ++i) {
            const uint32_t q = primes_[i];
            uint32_t j = next[i];
            for (; j < blockEnd; j += q) bytes[j] = 0;
            next[i] = j;
        }
    }

    // The rest strike a block at most once or twice: straight over the part.
    const std::size_t end64 = length;
    for (std::size_t i = small; i < primeCount; ++i) {
        const uint64_t q = primes_[i];
        // Consecutive odd multipliers of the class lie 2q apart: q bytes.
        for (std::size_t j = firstHit(kStart, q, struckClass_[i]); j < end64; j += q) bytes[j] = 0;
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
    // Only odd multipliers are ever in the walk: an even position would test
    // every multiplier of the wrong parity from here on.
    KALVENOR_VERIFY_THAT(position_ % 2 == 1);
}

uint32_t collectBatch(const uint8_t* bytes, uint32_t length, uint64_t kSeg, uint32_t capacity,
                      uint64_t* batch, uint32_t& examined, ThreadPool& workers) {
    if (capacity == 0) {
        examined = 0;
        return 0;
    }
    const uint32_t parts =
        std::min<uint32_t>(workers.size(), std::max<uint32_t>(length / kMinPartBytes, 1));
    if (parts <= 1) return storeSurvivors(bytes, 0, length, kSeg, capacity, batch, 0, examined);

    // Each part counts its survivors, then stores them from where the parts
    // before it end: the same batch, in the same order, as one pass would
    // give. The part that fills the batch tells where the walk resumes.
    std::vector<uint32_t> bounds(parts + 1);
    for (uint32_t part = 0; part <= parts; ++part)
        bounds[part] = static_cast<uint32_t>(uint64_t{length} * part / parts);
    std::vector<uint32_t> counts(parts);
    workers.start(parts, 1, [&](uint32_t first, uint32_t last) {
        for (uint32_t part = first; part < last; ++part)
            counts[part] = countSurvivors(bytes, bounds[part], bounds[part + 1]);
    });
    workers.wait();
    std::vector<uint32_t> starts(parts);
    uint64_t total = 0;
    for (uint32_t part = 0; part < parts; ++part) {
        starts[part] = static_cast<uint32_t>(std::min<uint64_t>(total, capacity));
        total += counts[part];
    }
    std::vector<uint32_t> stops(parts);
    workers.start(parts, 1, [&](uint32_t first, uint32_t last) {
        for (uint32_t part = first; part < last; ++part) {
            stops[part] = bounds[part + 1];
            if (starts[part] < capacity)
                storeSurvivors(bytes, bounds[part], bounds[part + 1], kSeg, capacity, batch, starts[part],
                               stops[part]);
        }
    });
    workers.wait();
    examined = length;
    for (uint32_t part = 0; part < parts; ++part) {
        if (uint64_t{starts[part]} + counts[part] >= capacity) {
            examined = stops[part];
            return capacity;
        }
    }
    return static_cast<uint32_t>(total);
}

}  // namespace kalvenor
