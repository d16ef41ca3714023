// The host reference against GMP, for any n up to 607 and any 64-bit k.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "kernels/gmp_support.h"
#include "kernels/reference_test.h"

namespace kalvenor {
namespace {

using testing::gmpIsFactor;
using testing::gmpResidue;

size_t wordsOfCandidate(uint64_t k, uint32_t n) {
    return (mpz_sizeinbase(testing::candidate(k, n).get(), 2) + 31) / 32;
}

void expectSameAsGmp(uint64_t k, uint32_t n) {
    SCOPED_TRACE(::testing::Message() << "k=" << k << " n=" << n);
    const std::vector<uint32_t> residue = referenceResidue(k, n);
    const size_t words = wordsOfCandidate(k, n);
    ASSERT_EQ(residue.size(), words);
    EXPECT_EQ(residue, gmpResidue(k, n, words));
    EXPECT_EQ(referenceTest(k, n), gmpIsFactor(k, n));
}

TEST(ReferenceResidue, MatchesGmpOnEdgeMultipliers) {
    const uint64_t ks[] = {1, 2, 3, 5, 0xffffffffu, 0x100000000u, 0x100000001u,
                           0x8000000000000000u, 0xffffffffffffffffu, 0x7fffffffffffffffu,
                           0xfffffffe00000001u, 0x200000001u};
    const uint32_t ns[] = {1, 2, 3, 31, 32, 33, 63, 64, 65, 96, 127, 128, 255, 256, 511, 576, 607};
    for (uint64_t k : ks)
        for (uint32_t n : ns) expectSameAsGmp(k, n);
}

TEST(ReferenceResidue, MatchesGmpOnRandomCandidates) {
    std::mt19937_64 random(41);
    for (int i = 0; i < 150; ++i) {
        const uint32_t bits = 1 + static_cast<uint32_t>(random() % 64);
        const uint64_t k = testing::multiplierWithTopBitIndex(bits - 1, random);
        const uint32_t n = 1 + static_cast<uint32_t>(random() % 607);
        expectSameAsGmp(k, n);
    }
}

// A prime P dividing a Fermat number drives the squarings through -1 and
// then 1; everything after that must stay exactly 1.
TEST(ReferenceResidue, KnownFactorsEndInOne) {
    struct Case {
        uint64_t k;
        uint32_t n;
    };
    const Case cases[] = {{5, 127}, {403, 252}, {76432329, 74}, {3, 41}, {5, 39}, {27609, 341}};
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "k=" << c.k << " n=" << c.n);
        ASSERT_TRUE(gmpIsFactor(c.k, c.n));
        EXPECT_TRUE(referenceTest(c.k, c.n));
        const std::vector<uint32_t> residue = referenceResidue(c.k, c.n);
        ASSERT_FALSE(residue.empty());
        EXPECT_EQ(residue[0], 1u);
    }
}

TEST(ReferenceResidue, DegenerateInputs) {
    EXPECT_FALSE(referenceTest(0, 100));          // P = 1
    EXPECT_EQ(referenceResidue(0, 100), std::vector<uint32_t>{0});
    EXPECT_TRUE(referenceResidue(3, 641).empty());  // beyond what it holds
    EXPECT_FALSE(referenceTest(3, 641));
}

}  // namespace
}  // namespace kalvenor
