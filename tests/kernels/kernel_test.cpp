// Every kernel, every way it runs, against GMP: the full residue of each
// slot and the multipliers that come back through the result buffer, at the
// edges of its level and window, on multipliers it must leave alone, and on
// known factors of Fermat numbers; what a launch owes its caller whatever
// the batch and grid; and which kernel serves what, against the oracle.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "arith/reference_powmod.h"
#include "arith/coverage.h"
#include "kernels/edge_cases.h"
#include "kernels/kernel_choice.h"
#include "kernels/kernel_paths.h"
#include "support/coverage_oracle.h"

namespace kalvenor::testing {
namespace {

// Every slot of a launch of kernel `index` against GMP: a slot it serves
// holds GMP's residue in its first w words and nothing above them, any other
// slot is left alone, exactly GMP's factors are counted and recorded, the
// checksum is the sum of GMP's terms of the slots it serves, and the slot
// the seed picks reports GMP's residue when the kernel serves it.
void expectLikeGmp(const Outcome& out, int index, uint32_t n, const std::vector<uint64_t>& ks, uint32_t seed) {
    ASSERT_EQ(0, out.status);
    const uint32_t w = kKernels[index].w;
    std::vector<uint64_t> factors;
    uint64_t checksum = 0;
    for (std::size_t i = 0; i < ks.size(); ++i) {
        std::vector<uint32_t> want(kResidueStride, kUntouched);
        if (kernelNumber(ks[i], n) == index) {
            const std::vector<uint32_t> residue = gmpResidue(ks[i], n, w);
            std::copy(residue.begin(), residue.end(), want.begin());
            if (gmpIsFactor(ks[i], n)) factors.push_back(ks[i]);
            checksum += gmpChecksumTerm(ks[i], n);
        }
        EXPECT_EQ(out.residue(i), want) << "slot " << i << " k=" << ks[i] << " n=" << n;
    }
    EXPECT_EQ(out.checksum(), checksum) << "n=" << n;
    const uint32_t checked = checkedSlot(seed, static_cast<uint32_t>(ks.size()));
    if (!ks.empty() && kernelNumber(ks[checked], n) == index) {
        EXPECT_EQ(std::tuple(out.checkedSlot(), out.checkedK(), out.checkedResidue(w)),
                  std::tuple(int64_t{checked}, ks[checked], gmpResidue(ks[checked], n, w)))
            << "n=" << n;
    } else {
        EXPECT_EQ(out.checkedSlot(), -1) << "n=" << n;
    }
    EXPECT_EQ(out.count(), factors.size()) << "n=" << n;
    // Which three of more factors get the records is a race; each must be one.
    std::vector<uint64_t> records = out.records();
    std::sort(records.begin(), records.end());
    std::sort(factors.begin(), factors.end());
    EXPECT_EQ(records.size(), std::min<std::size_t>(factors.size(), kResultRecords)) << "n=" << n;
    EXPECT_TRUE(std::includes(factors.begin(), factors.end(), records.begin(), records.end())) << "n=" << n;
    expectUnusedWordsUntouched(out, w);
}

using KernelWay = std::tuple<int, Way>;
class EveryKernel : public OnWay<KernelWay> {
protected:
    int index() const { return std::get<0>(GetParam()); }
};

// P = (2^33+1)*2^32 + 1 has the words (1, 1, 2): the first squaring meets a
// zero word in its second reduction step.
constexpr uint64_t kZeroWordK = (uint64_t{1} << 33) + 1;

// Factors of Fermat numbers, each in the reach of one kernel.
const std::pair<uint64_t, uint32_t> kKnownFactors[] = {
    {76432329, 74}, {5, 127}, {403, 252}, {25709319373u, 36}, {1527888802614951u, 120},
    {32111, 217},   {27609, 341}, {5769285, 434},
};

// The same prime written as (k*2^j, n-j) is still a factor while GMP agrees;
// those forms may land in a neighbouring window or level.
std::vector<std::pair<uint64_t, uint32_t>> formsOf(uint64_t k, uint32_t n) {
    std::vector<std::pair<uint64_t, uint32_t>> forms = {{k, n}};
    for (uint32_t j = 1; j < n && std::bit_width(k) + j <= 64 && gmpIsFactor(k << j, n - j); ++j)
        if (kernelFor(k << j, n - j)) forms.push_back({k << j, n - j});
    return forms;
}

// Served multipliers at the edges (and their neighbours with the low bit
// flipped) and at random, enough to fill the widest pass of lanes (32) and
// part of the next, an odd count so the last group is short; among them,
// ones the kernel must leave alone: k = 0 and P a word too narrow or too wide.
TEST_P(EveryKernel, MatchesGmpAndLeavesAloneWhatItDoesNotServe) {
    const KernelEntry& kernel = kKernels[index()];
    std::mt19937_64 random(1000 + index());
    int launches = 0;
    for (uint32_t n : windowExponents(kernel.q, random)) {
        std::vector<uint64_t> ks = edgeMultipliers(kernel.w, n, random);
        if (ks.empty()) continue;  // the upper level at n = 32q serves nobody
        for (std::size_t i = 0, edges = ks.size(); i < edges; ++i) ks.push_back(ks[i] ^ 1);
        if (kernelNumber(kZeroWordK, n) == index()) ks.push_back(kZeroWordK);
        while (ks.size() < 45) ks.push_back(randomServedMultiplier(kernel.w, n, random));
        const BitRange bits = servedBits(kernel.w, n);
        ks.insert(ks.begin() + 7, 0);
        if (bits.low > 0) ks.insert(ks.begin() + 20, (uint64_t{1} << bits.low) - 1);
        if (bits.high < 63) ks.insert(ks.begin() + 33, uint64_t{1} << (bits.high + 1));
        const uint32_t seed = n * 0x9E3779B9u;  // another checked slot at each exponent
        expectLikeGmp(launch(index(), n, ks, true, 0, seed), index(), n, ks, seed);
        ++launches;
    }
    EXPECT_GT(launches, 0);
    // Exponents outside the window, and a factor of each level of window 3
    // that only its own kernel may report.
    const uint32_t base = 32 * kernel.q;
    for (uint32_t n : {base - 1, base + 32, 0u, 31u, 0xffffffffu, 127u, 120u}) {
        const std::vector<uint64_t> ks = {5, UINT64_MAX, 1527888802614951u, 0};
        for (uint32_t seed : {0u, 0x7fffffffu, 0xc0000000u}) expectLikeGmp(launch(index(), n, ks, true, 0, seed), index(), n, ks, seed);
    }
    // Known factors it serves, in any of their forms, four times among other
    // slots: several share one squaring loop and unserved slots are left out
    // of the groups, yet each copy is counted.
    for (const auto& [knownK, knownN] : kKnownFactors) {
        for (const auto& [k, n] : formsOf(knownK, knownN)) {
            if (kernelNumber(k, n) != index()) continue;
            std::vector<uint64_t> ks = edgeMultipliers(kernel.w, n, random);
            for (std::size_t at : {0, 3, 5, 9}) ks.insert(ks.begin() + static_cast<std::ptrdiff_t>(at), k);
            ks.insert(ks.begin() + 2, 0);
            const Outcome out = launch(index(), n, ks);  // seed 0 checks slot 0, the factor
            expectLikeGmp(out, index(), n, ks, 0);
            EXPECT_GE(out.count(), 4u) << k << "*2^" << n << "+1";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Kernels, EveryKernel, ::testing::Combine(::testing::Range(0, kKernelCount), ::testing::ValuesIn(kAllWays)),
                         [](const ::testing::TestParamInfo<KernelWay>& info) {
                             return std::string(kKernels[std::get<0>(info.param)].name) + "_" + nameOf(std::get<1>(info.param));
                         });

// ---- what a launch owes its caller, on each device ----

// A factor above 2^32 (so a record's high word matters), served by the
// smallest kernel, which keeps these launches cheap; and multipliers of its
// level that GMP says are not factors.
constexpr uint64_t kFactorK = 25709319373ull;
constexpr uint32_t kFactorN = 36;

std::vector<uint64_t> batchWithFactorsAt(std::size_t size, const std::vector<std::size_t>& slots) {
    static const std::vector<uint64_t> plain = [] {
        std::mt19937_64 random(3);
        std::vector<uint64_t> out;
        while (out.size() < 700)
            if (const uint64_t k = randomServedMultiplier(3, kFactorN, random); !gmpIsFactor(k, kFactorN)) out.push_back(k);
        return out;
    }();
    std::vector<uint64_t> ks(size);
    for (std::size_t i = 0; i < size; ++i) ks[i] = plain[i % plain.size()];
    for (std::size_t s : slots) ks[s] = kFactorK;
    return ks;
}

class Launch : public OnWay<Way> {};

// Only slots below both the count and the grid are tested. Slots past the
// count hold an earlier batch's multipliers, here all the factor: none may
// come back. The count goes on past three records, so the host knows records
// were lost. Many launches in a row each see their own batch alone.
TEST_P(Launch, CountsAndRecordsTheFactorsOfItsBatchAlone) {
    struct Case {
        const char* name;
        uint32_t batch;
        std::vector<std::size_t> factorSlots;
        uint32_t gridThreads;  // 0: the batch rounded up to whole blocks of 256
    };
    std::vector<Case> cases = {
        {"none", 300, {}, 0},                  {"three in different blocks", 700, {1, 300, 699}, 0},
        {"five", 700, {0, 100, 256, 511, 640}, 0}, {"forty spread over many chunks", 5000, {}, 0},
        {"count 0", 0, {}, 512},               {"the last of 257", 257, {256}, 1024},
        {"a grid far larger", 10, {4}, 65536}, {"a count beyond the grid", 512, {100, 400}, 256},
        {"a full batch", kBatchCapacity, {0, kBatchCapacity - 1}, kBatchCapacity},
    };
    for (std::size_t s = 3; s < 5000; s += 125) cases[3].factorSlots.push_back(s);  // the forty
    std::mt19937 random(11);
    for (int i = 0; i < 60; ++i) {
        const uint32_t size = 1 + random() % 700;
        cases.push_back({"one of many in a row", size, {random() % size}, 0});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const uint32_t grid = c.gridThreads != 0 ? c.gridThreads : std::max<uint32_t>(256, (c.batch + 255) / 256 * 256);
        if (grid > c.batch) plant(std::vector<uint64_t>(grid - c.batch, kFactorK), c.batch);
        const Outcome out = launch(0, kFactorN, batchWithFactorsAt(c.batch, c.factorSlots), false, c.gridThreads);
        ASSERT_EQ(0, out.status);
        const auto found = static_cast<uint32_t>(
            std::count_if(c.factorSlots.begin(), c.factorSlots.end(), [&](std::size_t s) { return s < grid; }));
        EXPECT_EQ(found, out.count());
        EXPECT_EQ(std::vector<uint64_t>(std::min(found, kResultRecords), kFactorK), out.records());
        expectUnusedWordsUntouched(out, kKernels[0].w);
    }
}

// Mistakes of the caller come back as error numbers with a text of their
// own, and the device stays usable: a kernel that does not exist, a queue
// that does not either, and a grid outside CUDA's limits, whatever the
// batch (its threads past the count do nothing, so only the limits bound it).
TEST_P(Launch, BadLaunchesAreRefusedWithAnError) {
    EXPECT_EQ(0, runtime().synchronize());
    EXPECT_EQ("no error", runtime().errorText(0));
    const std::tuple<int, uint32_t, uint32_t, int> cases[] = {
        {-1, 1, 256, 0}, {kKernelCount, 1, 256, 0}, {0, kMaxGridBlocks + 1u, 256, 0}, {0, 1, kMaxThreadsPerBlock + 1, 1},
        {0, 0, 256, 0},  {0, 1, 256, Runtime::kQueues}};
    for (const auto& [kernel, blocks, threads, queue] : cases) {
        const int code = runtime().launch(kernel, blocks, threads, KernelArgs{nullptr, nullptr, kFactorN, 10, nullptr}, queue);
        EXPECT_NE(0, code);
        EXPECT_NE("no error", runtime().errorText(code));
        const Outcome out = launch(0, kFactorN, batchWithFactorsAt(10, {3}), false);
        EXPECT_EQ(0, out.status);
        EXPECT_EQ(1u, out.count());
    }
}

INSTANTIATE_TEST_SUITE_P(Devices, Launch, ::testing::ValuesIn(kDevices), wayName);

// ---- which kernel serves what, against the oracle ----

TEST(Coverage, AgreesWithTheOracleEverywhere) {
    ASSERT_EQ(kKernelCount, 36);
    for (int i = 0; i < kKernelCount; ++i) {
        const KernelEntry& kernel = kKernels[i];
        EXPECT_EQ(kernel.name, testing::kernelName(kernel.q, kernel.w)) << i;
        // The bit range of k that keeps P at w words, at each exponent of the window.
        for (uint32_t n = 32 * kernel.q; n < 32 * kernel.q + 32; ++n) {
            const BitRange bits = servedBits(kernel.w, n);
            if (bits.empty()) {
                EXPECT_NE(wordsOfP(UINT64_MAX, n), kernel.w) << kernel.name << " n=" << n;
                continue;
            }
            const uint64_t low = uint64_t{1} << bits.low, high = (uint64_t{2} << bits.high) - 1;
            EXPECT_EQ(kernelNumber(low, n), i) << kernel.name << " n=" << n;
            EXPECT_EQ(kernelNumber(high, n), i) << kernel.name << " n=" << n;
            if (bits.low > 0) {
                EXPECT_NE(kernelNumber(low - 1, n), i) << kernel.name << " n=" << n;
            }
            if (bits.high < 63) {
                EXPECT_NE(kernelNumber(high + 1, n), i) << kernel.name << " n=" << n;
            }
        }
    }
    for (uint32_t n = 0; n < 700; ++n) {
        const uint32_t q = n / 32;
        if (n >= 32 && n <= 607) {
            // Where P enters the levels of the window.
            EXPECT_EQ(wordsOfP(kLowOf(n), n), q + 2) << n;
            EXPECT_EQ(wordsOfP(kLowOf(n) - 1, n), q + 1) << n;
            const unsigned __int128 kHigh = kHighOf(n);
            if (kHigh <= UINT64_MAX) {
                EXPECT_EQ(wordsOfP(static_cast<uint64_t>(kHigh), n), q + 3) << n;
            }
            EXPECT_EQ(wordsOfP(static_cast<uint64_t>(std::min<unsigned __int128>(kHigh - 1, UINT64_MAX)), n), q + 2) << n;
        }
        // Each multiplier size, at and below each power of two.
        for (uint32_t b = 0; b < 64; ++b) {
            for (const uint64_t k : {uint64_t{1} << b, (uint64_t{2} << b) - 1}) {
                const uint32_t words = wordCountOf(n, k);
                ASSERT_EQ(words, wordsOfP(k, n)) << "n=" << n << " k=" << k;
                const KernelChoice choice = chooseKernel(n, words);
                ASSERT_EQ(choice.index, kernelNumber(k, n)) << "n=" << n << " k=" << k;
                if (choice.index < 0) {
                    EXPECT_STREQ(choice.message, n < 32    ? "No kernel for n < 32\n"
                                                 : n > 607 ? "No kernel for that Fermat number\n"
                                                           : "No kernel for that bit level\n");
                }
            }
        }
    }
}

}  // namespace
}  // namespace kalvenor::testing
