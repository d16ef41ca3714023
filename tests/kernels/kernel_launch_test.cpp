// Every kernel, every way it runs (each host path called directly, each
// device through the runtime interface), against GMP: the full residue of
// each slot and the multipliers that come back through the result buffer, at
// the edges of its level and window, on random multipliers, on multipliers
// it must leave alone, and on known factors of Fermat numbers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "kernels/kernel_choice.h"
#include "kernels/reference_test.h"
#include "kernels/runtime_harness.h"

namespace kalvenor::testing {
namespace {

// Every slot of a launch of kernel `index` against GMP: a slot it serves
// holds GMP's residue in its first w words and nothing above them, any other
// slot is left alone, and exactly GMP's factors are counted and recorded.
void expectLikeGmp(const Outcome& out, int index, uint32_t n, const std::vector<uint64_t>& ks) {
    ASSERT_EQ(0, out.launchStatus);
    ASSERT_EQ(0, out.syncStatus);
    const uint32_t w = kKernels[index].w;
    std::vector<uint64_t> factors;
    for (std::size_t i = 0; i < ks.size(); ++i) {
        std::vector<uint32_t> want(kResidueStride, kUntouched);
        if (servingKernel(ks[i], n) == index) {
            const std::vector<uint32_t> residue = gmpResidue(ks[i], n, w);
            std::copy(residue.begin(), residue.end(), want.begin());
            if (gmpIsFactor(ks[i], n)) factors.push_back(ks[i]);
        }
        EXPECT_EQ(out.residue(i), want) << "slot " << i << " k=" << ks[i] << " n=" << n;
    }
    EXPECT_EQ(out.count(), factors.size()) << "n=" << n;
    // Which three of more factors get the records is a race; each must be one.
    std::vector<uint64_t> records = out.records();
    std::sort(records.begin(), records.end());
    std::sort(factors.begin(), factors.end());
    EXPECT_EQ(records.size(), std::min<std::size_t>(factors.size(), kResultRecords)) << "n=" << n;
    EXPECT_TRUE(std::includes(factors.begin(), factors.end(), records.begin(), records.end())) << "n=" << n;
    expectUnusedWordsZero(out);
}

using KernelWay = std::tuple<int, Way>;

class EveryKernel : public OnWay<KernelWay> {
protected:
    int index() const { return std::get<0>(GetParam()); }
    const KernelSpec& kernelSpec() const { return kKernels[index()]; }
};

// P = (2^33+1)*2^32 + 1 has the words (1, 1, 2): the first squaring meets a
// zero word in its second reduction step.
constexpr uint64_t kZeroWordK = (uint64_t{1} << 33) + 1;

TEST_P(EveryKernel, MatchesGmpAcrossItsLevel) {
    std::mt19937_64 random(1000 + index());
    int launches = 0;
    for (uint32_t n : windowExponents(kernelSpec().q, random)) {
        std::vector<uint64_t> ks = edgeMultipliers(kernelSpec().w, n, random);
        if (ks.empty()) continue;  // the upper level at n = 32q serves nobody
        // The edges with the lowest bit flipped (the top bit is at least 1),
        // then random ones: enough to fill the widest pass of lanes (32) and
        // part of the next, and an odd count, so the last group is short.
        for (std::size_t i = 0, edges = ks.size(); i < edges; ++i) ks.push_back(ks[i] ^ 1);
        if (servingKernel(kZeroWordK, n) == index()) ks.push_back(kZeroWordK);
        const BitRange bits = servedBits(kernelSpec().w, n);
        while (ks.size() < 45)
            ks.push_back(multiplierWithTopBitIndex(
                static_cast<uint32_t>(bits.low + static_cast<int>(random() % (bits.high - bits.low + 1))), random));
        for (uint64_t k : ks) ASSERT_EQ(index(), servingKernel(k, n)) << "k=" << k << " n=" << n;
        expectLikeGmp(launch(index(), n, ks), index(), n, ks);
        ++launches;
    }
    EXPECT_GT(launches, 0);
}

// Multipliers outside the kernel's reach end at once, unreported, with no
// residue, even one that passes the congruence for a P of another width; one
// it serves between them is still tested.
TEST_P(EveryKernel, LeavesAloneWhatItDoesNotServe) {
    const uint32_t base = 32 * kernelSpec().q;
    std::vector<std::pair<uint32_t, uint64_t>> cases = {{base, 0}, {base + 31, 0}};
    for (uint32_t n : {base, base + 17, base + 31}) {
        const BitRange bits = servedBits(kernelSpec().w, n);
        // One word too narrow; at n = 32q the upper level starts at 2^64, so
        // every multiplier is too narrow there (and a shift by 64 is undefined).
        if (bits.low > 0) cases.push_back({n, bits.low >= 64 ? UINT64_MAX : (uint64_t{1} << bits.low) - 1});
        if (bits.high < 63) cases.push_back({n, uint64_t{1} << (bits.high + 1)});  // one word too wide
    }
    for (uint32_t n : {base - 1, base + 32, 0u, 31u, 0xffffffffu}) {
        cases.push_back({n, 5});
        cases.push_back({n, 0xffffffffffffffffu});
    }
    // Ones that every other kernel must refuse: k = 0 and 1, P a word too
    // narrow or too wide, all ones, and a factor of each level of window 3.
    for (std::pair<uint32_t, uint64_t> c : {std::pair<uint32_t, uint64_t>{36, 0}, {36, 1}, {36, (uint64_t{1} << 27) | 12345},
                                            {36, (uint64_t{1} << 60) | 99}, {63, ~uint64_t{0}}, {600, 0}, {600, 3},
                                            {127, 5}, {120, 1527888802614951u}}) {
        if (servingKernel(c.second, c.first) != index()) cases.push_back(c);
    }
    for (const auto& [n, k] : cases) {
        SCOPED_TRACE(::testing::Message() << "k=" << k << " n=" << n);
        ASSERT_NE(index(), servingKernel(k, n));
        std::vector<uint64_t> ks = {k, k, k};
        const BitRange bits = servedBits(kernelSpec().w, n);
        if (n / 32 == kernelSpec().q && !bits.empty()) ks[1] = uint64_t{1} << bits.high;
        expectLikeGmp(launch(index(), n, ks), index(), n, ks);
    }
}

INSTANTIATE_TEST_SUITE_P(Kernels, EveryKernel,
                         ::testing::Combine(::testing::Range(0, kKernelCount), ::testing::ValuesIn(waysToTest())),
                         [](const ::testing::TestParamInfo<KernelWay>& info) {
                             return std::string(kKernels[std::get<0>(info.param)].name) + "_" +
                                    nameOf(std::get<1>(info.param));
                         });

// ---- known factors ----

struct KnownFactor {
    uint64_t k;
    uint32_t n;
    const char* kernel;  // the one the program chooses
};

const KnownFactor kKnownFactors[] = {
    {76432329, 74, "kalvenor128bit_n64_95"},
    {5, 127, "kalvenor160bit_n96_127"},
    {403, 252, "kalvenor288bit_n224_255"},
    {25709319373u, 36, "kalvenor96bit_n32_63"},          // k above 2^32
    {1527888802614951u, 120, "kalvenor192bit_n96_127"},  // upper level, k above 2^50
    {32111, 217, "kalvenor256bit_n192_223"},
    {27609, 341, "kalvenor384bit_n320_351"},
    {5769285, 434, "kalvenor480bit_n416_447"},
};

// The same prime written as (k*2^j, n-j) is still a factor as long as GMP
// agrees; those forms may land in a neighbouring window or level.
std::vector<std::pair<uint64_t, uint32_t>> formsOf(const KnownFactor& f) {
    std::vector<std::pair<uint64_t, uint32_t>> forms = {{f.k, f.n}};
    for (uint32_t j = 1; j < f.n && bitIndex(f.k) + j < 64; ++j) {
        if (!gmpIsFactor(f.k << j, f.n - j)) break;
        if (servingKernel(f.k << j, f.n - j) >= 0) forms.push_back({f.k << j, f.n - j});
    }
    return forms;
}

class KnownFactors : public OnWay<Way> {};

// Several multipliers share one squaring loop and slots the kernel does not
// serve are left out of the groups: whatever the mix, every slot keeps its
// own residue and verdict, and each copy of the factor is counted.
TEST_P(KnownFactors, AreReportedAmongOtherSlots) {
    std::mt19937_64 random(77);
    int checked = 0;
    for (const KnownFactor& known : kKnownFactors) {
        SCOPED_TRACE(::testing::Message() << known.k << "*2^" << known.n << "+1");
        ASSERT_TRUE(gmpIsFactor(known.k, known.n));
        EXPECT_TRUE(referenceTest(known.k, known.n));
        const KernelChoice choice = chooseKernel(known.n, wordCountOf(known.n, known.k));
        ASSERT_GE(choice.index, 0) << choice.message;
        EXPECT_STREQ(kKernels[choice.index].name, known.kernel);
        for (const auto& [k, n] : formsOf(known)) {
            SCOPED_TRACE(::testing::Message() << "as " << k << "*2^" << n << "+1");
            const int index = servingKernel(k, n);
            std::vector<uint64_t> plain = edgeMultipliers(kKernels[index].w, n, random);
            std::erase_if(plain, [n = n](uint64_t m) { return gmpIsFactor(m, n); });
            ASSERT_GE(plain.size(), 5u);
            // Unserved: 0 and, for most levels, a multiplier far too wide.
            const std::vector<uint64_t> ks = {k, plain[0], 0, k, plain[1], ~uint64_t{0}, plain[2], k, plain[3], plain[4], k};
            const Outcome out = launch(index, n, ks);
            expectLikeGmp(out, index, n, ks);
            EXPECT_EQ(4u, out.count());
            EXPECT_EQ(std::vector<uint64_t>(3, k), out.records());
            ++checked;
        }
    }
    EXPECT_GE(checked, 8);
}

INSTANTIATE_TEST_SUITE_P(Kernels, KnownFactors, ::testing::ValuesIn(waysToTest()), wayParamName);

TEST(HostKernelTable, HasEveryKernelAndNothingElse) {
    for (int index = 0; index < kKernelCount; ++index) {
        EXPECT_NE(hostKernel(index), nullptr) << index;
        EXPECT_NE(limbKernel(index), nullptr) << index;
        EXPECT_EQ(ifmaKernel(index) != nullptr, ifmaUsable()) << index;
    }
    for (int index : {-1, kKernelCount}) {
        EXPECT_EQ(hostKernel(index), nullptr);
        EXPECT_EQ(limbKernel(index), nullptr);
        EXPECT_EQ(ifmaKernel(index), nullptr);
    }
}

}  // namespace
}  // namespace kalvenor::testing
