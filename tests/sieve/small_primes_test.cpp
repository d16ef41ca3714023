#include "sieve/small_primes.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cstdint>
#include <vector>

#include "support/test_support.h"

namespace kalvenor {
namespace {

// The first `count` odd primes from a plain sieve of Eratosthenes over all
// integers, grown until it has enough: nothing shared with the code under test.
std::vector<uint32_t> firstOddPrimes(uint32_t count) {
    for (uint64_t limit = 64;; limit *= 2) {
        std::vector<bool> composite(limit, false);
        std::vector<uint32_t> primes;
        for (uint64_t i = 2; i < limit && primes.size() < count; ++i) {
            if (composite[i]) continue;
            if (i != 2) primes.push_back(static_cast<uint32_t>(i));
            for (uint64_t m = i * i; m < limit; m += i) composite[m] = true;
        }
        if (primes.size() == count) return primes;
    }
}

uint32_t oddPrimesBelow(uint32_t bound) {
    uint32_t count = 0;
    for (uint32_t j = 3; j < bound; j += 2) {
        bool prime = true;
        for (uint32_t d = 3; prime && d * d <= j; d += 2)
            if (j % d == 0) prime = false;
        count += prime;
    }
    return count;
}

struct PrimeCase {
    uint32_t count;
    uint32_t bound;  // primeBound, 0 where the fixed list serves
    uint32_t last;   // last entry, 0 for an empty table
};

TEST(SmallPrimes, BoundsAndLastEntries) {
    const PrimeCase cases[] = {
        {0, 0, 0},         {1, 0, 3},         {4, 0, 11},           {10, 0, 31},
        {11, 36, 37},      {20, 77, 73},      {100, 548, 547},      {5000, 48620, 48619},
        {1000000, 15488294, 15485867},
        {3000000, 49982529, 49979693},  // the host device's deepest sieve
    };
    for (const PrimeCase& c : cases) {
        SCOPED_TRACE(c.count);
        if (c.bound != 0) {
            EXPECT_EQ(primeBound(c.count), c.bound);
        }
        const std::vector<uint32_t> table = buildSmallPrimes(c.count);
        ASSERT_EQ(table.size(), c.count);
        if (c.count > 0) {
            EXPECT_EQ(table.back(), c.last);
        }
        EXPECT_EQ(table, firstOddPrimes(c.count));
    }
}

TEST(SmallPrimes, EveryCountUpToThreeThousandIsTheFirstOddPrimes) {
    const std::vector<uint32_t> reference = firstOddPrimes(3000);
    for (uint32_t count = 0; count <= 3000; ++count) {
        const std::vector<uint32_t> table = buildSmallPrimes(count);
        ASSERT_EQ(table.size(), count);
        ASSERT_TRUE(std::equal(table.begin(), table.end(), reference.begin())) << count;
    }
}

TEST(SmallPrimes, WideningHappensExactlyWhereTheBoundFallsShort) {
    // 11 odd primes need 37, one past the bound of 36; the table must still
    // come out whole rather than end in unset entries. The other short ones
    // are further counts the fit undershoots, one just past each tier's
    // start; the configured counts must not need widening at all.
    const std::vector<uint32_t> fallShort = {11, 12, 16, 99, 101, 1007, 10238, 132503};
    const std::vector<uint32_t> configured = {20, 50, 100, 500, 1000, 5000, 20000, 50000};
    for (bool falls : {true, false}) {
        for (uint32_t count : falls ? fallShort : configured) {
            SCOPED_TRACE(count);
            EXPECT_EQ(oddPrimesBelow(primeBound(count)) < count, falls);
            EXPECT_EQ(buildSmallPrimes(count), firstOddPrimes(count));
        }
    }
}

void buildUnderMemoryLimit(uint32_t count) {
    const rlimit limit{512u << 20, 512u << 20};
    ::setrlimit(RLIMIT_AS, &limit);
    buildSmallPrimes(count);
}

TEST(SmallPrimesDeathTest, TablesThatCannotBeHeldEndWithThePrimesMessage) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // Beyond the 32-bit primes.
    EXPECT_EXIT(buildSmallPrimes(300000000u), ::testing::ExitedWithCode(1),
                "\nThere is not enough memory to allocate a table of primes: ");
    // 100 million primes want a 1 GB sieve and a 400 MB table; an
    // address-space limit would starve the sanitizer itself.
    if (!testing::kAddressSanitizer) {
        EXPECT_EXIT(buildUnderMemoryLimit(100000000u), ::testing::ExitedWithCode(1),
                    "\nThere is not enough memory to allocate a table of primes: ");
    }
}

}  // namespace
}  // namespace kalvenor
