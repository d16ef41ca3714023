#include "sieve/segment_sieve.h"
#include "sieve/small_primes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

namespace kalvenor {
namespace {

constexpr uint64_t kTop = UINT64_MAX;

// 2^n mod q by doubling, n times: nothing in common with the sieve's path.
uint64_t powerOfTwoMod(uint32_t q, uint32_t n) {
    uint64_t v = 1 % q;
    for (uint32_t i = 0; i < n; ++i) v = v * 2 % q;
    return v;
}

TEST(SegmentSieve, InversePowerOfTwoUndoesTwoToTheN) {
    const uint32_t primes[] = {3, 5, 7, 11, 13, 547, 48619, 15485867, 4294967291u};
    const uint32_t exponents[] = {0, 1, 2, 31, 32, 33, 127, 300, 607, 4000};
    for (uint32_t q : primes)
        for (uint32_t n : exponents)
            EXPECT_EQ(static_cast<unsigned __int128>(inversePowerOfTwo(q, n)) * powerOfTwoMod(q, n) % q,
                      1u)
                << "q " << q << " n " << n;
}

// Long segments go through the sieve's faster paths: the leading primes come
// from a repeating pattern, primes below the block size strike block by block,
// and a long enough segment is split between threads. Short or long, a segment
// must keep exactly what one plain strike per prime and multiple keeps,
// wherever it starts and however its length falls on blocks and parts.
TEST(SegmentSieve, KeepsWhatPlainStrikingKeeps) {
    const std::vector<uint32_t> all = buildSmallPrimes(30000);  // up to about 350,000
    const std::vector<uint32_t> none, three(all.begin(), all.begin() + 3),
        first24(all.begin(), all.begin() + 24);
    // Without the small primes most bytes survive, so a byte that no path
    // writes shows even where it happens to hold 0.
    const std::vector<uint32_t> large(std::lower_bound(all.begin(), all.end(), 65537u), all.end());
    struct Segment {
        const char* what;
        uint64_t kSeg;
        uint32_t length;
        uint32_t n;
        std::vector<const std::vector<uint32_t>*> tables;
        std::vector<uint64_t> kept;  // worked by hand; empty where only striking decides
    };
    const Segment segments[] = {
        {"worked example, n=32", 3, 20, 32, {&three}, {3, 7, 13, 15, 21, 25, 27, 31, 37}},
        {"worked example, n=33", 3, 20, 33, {&three}, {3, 5, 9, 11, 15, 21, 23, 29, 33, 35, 39}},
        {"empty table strikes nothing", 1, 50, 40, {&none}, {}},
        {"start of the range", 1, 400, 32, {&first24}, {}},
        {"one byte", 9, 1, 64, {&first24}, {}},
        {"segment shorter than a prime", 1000001, 5, 127, {&first24}, {}},
        {"high multipliers", (1ull << 62) + 1, 300, 607, {&first24}, {}},
        {"ends at 2^64-1", kTop - 2 * 299, 300, 77, {&first24}, {}},
        {"last multiplier of all", kTop, 1, 500, {&first24}, {}},
        {"long, from the start of the range", 1, 1200000, 36, {&all, &large}, {}},
        {"one block and a byte", 17179869185u, 65537, 120, {&all, &large}, {}},
        {"one byte short of a block", 1000001, 65535, 601, {&all, &large}, {}},
        {"pattern period and a half", 3, 382883, 33, {&all, &large}, {}},
        {"several parts, odd length", (1ull << 40) + 7, 1048576 + 12345, 300, {&all, &large}, {}},
        {"long, ending at 2^64-1", kTop - 2 * (600000 - 1), 600000, 77, {&all, &large}, {}},
    };
    for (const Segment& s : segments) {
        for (const std::vector<uint32_t>* primes : s.tables) {
            SCOPED_TRACE(::testing::Message() << s.what << ", " << primes->size() << " primes");
            std::vector<uint8_t> expected(s.length, 1);
            for (uint32_t q : *primes) {
                // k = -2^-n (mod q) by a path of its own: 2^n by doubling, its
                // inverse by Fermat, the first hit by solving kSeg + 2j = k.
                uint64_t inverse = 1, base = powerOfTwoMod(q, s.n);
                for (uint32_t e = q - 2; e != 0; e >>= 1, base = base * base % q)
                    if (e & 1u) inverse = inverse * base % q;
                const uint64_t target = (q - inverse) % q;
                const uint64_t first = (target + q - s.kSeg % q) % q * ((q + 1) / 2) % q;
                for (uint64_t m = first; m < s.length; m += q) expected[m] = 0;
            }
            SegmentSieve sieve(*primes, s.n, s.length);
            sieve.sieve(s.kSeg, s.length);
            const std::vector<uint8_t> got(sieve.bytes(), sieve.bytes() + s.length);
            EXPECT_EQ(got, expected);
            std::vector<uint64_t> kept;
            for (uint32_t j = 0; j < s.length && !s.kept.empty(); ++j)
                if (got[j] != 0) kept.push_back(s.kSeg + 2ull * j);
            EXPECT_EQ(kept, s.kept);
        }
    }
}

TEST(SegmentSieve, ShortSegmentWritesNoByteBeyondItsLength) {
    const std::vector<uint32_t> primes = {3, 5, 7, 11, 13};
    SegmentSieve sieve(primes, 32, 64);
    sieve.sieve(kTop - 2 * 63, 64);  // leaves bytes set and cleared all over
    const std::vector<uint8_t> before(sieve.bytes(), sieve.bytes() + 64);
    sieve.sieve(kTop - 2 * 4, 5);
    for (uint32_t j = 5; j < 64; ++j) EXPECT_EQ(sieve.bytes()[j], before[j]) << j;
}

TEST(MultiplierWalk, CountsAndStepsWithoutWrapping) {
    struct WalkCase {
        const char* what;
        uint64_t first, last;
        uint32_t cap;
        uint32_t remaining;  // before any step
        uint32_t step;
        bool doneAfter;
        uint64_t positionAfter;  // when not done
    };
    const WalkCase cases[] = {
        {"first above last", 11, 9, 100, 0, 0, true, 0},
        {"one multiplier", 9, 9, 100, 1, 1, true, 0},
        {"one multiplier, even last", 9, 10, 100, 1, 1, true, 0},
        {"capped", 1, 1001, 100, 100, 100, false, 201},
        {"partial step", 1, 1001, 1000, 501, 7, false, 15},
        {"step to the end", 1, 1001, 1000, 501, 501, true, 0},
        {"2^64-1 alone", kTop, kTop, 5, 1, 1, true, 0},
        {"ending at 2^64-1", kTop - 8, kTop, 3, 3, 3, false, kTop - 2},
        {"ending at 2^64-1, all", kTop - 8, kTop, 10, 5, 5, true, 0},
        {"whole 64-bit range, capped", 1, kTop, UINT32_MAX, UINT32_MAX, 2, false, 5},
    };
    for (const WalkCase& c : cases) {
        SCOPED_TRACE(c.what);
        MultiplierWalk walk(c.first, c.last);
        EXPECT_EQ(walk.done(), c.first > c.last);
        EXPECT_EQ(walk.remaining(c.cap), c.remaining);
        walk.advance(c.step);
        EXPECT_EQ(walk.done(), c.doneAfter);
        if (!c.doneAfter) {
            EXPECT_EQ(walk.position(), c.positionAfter);
        }
    }
}

TEST(CollectBatch, StopsWhenFullOrAtTheSegmentEnd) {
    const std::vector<uint8_t> bytes = {1, 0, 1, 1, 0, 0, 1, 1, 0, 1};
    struct CollectCase {
        uint32_t length, capacity;
        std::vector<uint64_t> batch;
        uint32_t examined;
    };
    const CollectCase cases[] = {
        {10, 100, {101, 105, 107, 113, 115, 119}, 10},
        {10, 3, {101, 105, 107}, 4},  // the walk resumes right after 107
        {10, 1, {101}, 1},
        {6, 100, {101, 105, 107}, 6},
        {0, 100, {}, 0},
        {2, 1, {101}, 1},
    };
    for (const CollectCase& c : cases) {
        std::vector<uint64_t> batch(16, 0);
        uint32_t examined = 99;
        const uint32_t count = collectBatch(bytes.data(), c.length, 101, c.capacity, batch.data(), examined);
        batch.resize(count);
        EXPECT_EQ(batch, c.batch) << "length " << c.length << " capacity " << c.capacity;
        EXPECT_EQ(examined, c.examined);
    }
}

// Long segments are collected by several threads, each from its own part:
// the batch and the resume point must be those of one pass, wherever the
// batch fills.
TEST(CollectBatch, LongSegmentsGiveWhatOnePassGives) {
    const uint32_t length = 1500007;
    std::mt19937_64 random(11);
    std::vector<uint8_t> bytes(length);
    for (uint8_t& b : bytes) b = random() % 25 == 0 ? 1 : 0;
    const uint64_t kSeg = (1ull << 40) + 1;
    std::vector<uint64_t> all;
    for (uint32_t j = 0; j < length; ++j)
        if (bytes[j] != 0) all.push_back(kSeg + 2ull * j);
    const uint32_t total = static_cast<uint32_t>(all.size());
    const uint32_t capacities[] = {1, 1000, total / 2, total / 2 + 1, total - 1, total, total + 1, 1u << 20};
    for (uint32_t capacity : capacities) {
        SCOPED_TRACE(::testing::Message() << "capacity " << capacity);
        std::vector<uint64_t> batch(std::max(capacity, total) + 1, 0);
        uint32_t examined = 0;
        const uint32_t count = collectBatch(bytes.data(), length, kSeg, capacity, batch.data(), examined);
        const uint32_t expectedCount = std::min(capacity, total);
        ASSERT_EQ(count, expectedCount);
        EXPECT_TRUE(std::equal(all.begin(), all.begin() + count, batch.begin()));
        EXPECT_EQ(batch[count], 0u);  // nothing past the batch
        const uint32_t expectedExamined =
            capacity > total ? length : static_cast<uint32_t>((all[capacity - 1] - kSeg) / 2 + 1);
        EXPECT_EQ(examined, expectedExamined);
    }
}

}  // namespace
}  // namespace kalvenor
