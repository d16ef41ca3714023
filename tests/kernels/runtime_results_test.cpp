// The result buffer, the batch count and the launch itself, through the
// runtime interface on every device this machine has.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "kernels/runtime_harness.h"

namespace kalvenor::testing {
namespace {

// A factor above 2^32 (so a record's high word matters), served by the
// smallest kernel, which keeps these launches cheap.
constexpr uint64_t kFactorK = 25709319373ull;
constexpr uint32_t kFactorN = 36;
constexpr int kFactorKernel = 0;

// Multipliers of the factor's level that GMP says are not factors.
const std::vector<uint64_t>& nonFactors() {
    static const std::vector<uint64_t> ks = [] {
        std::mt19937_64 rng(3);
        std::vector<uint64_t> out;
        while (out.size() < 700) {
            // Top bit 28..59 is the lower level of window 1 at n = 36.
            const uint64_t k = multiplierWithTopBitIndex(28 + static_cast<uint32_t>(rng() % 32), rng);
            if (!gmpIsFactor(k, kFactorN)) out.push_back(k);
        }
        return out;
    }();
    return ks;
}

// `size` non-factors with the factor at the given slots.
std::vector<uint64_t> batchWithFactorsAt(std::size_t size, const std::vector<std::size_t>& slots) {
    std::vector<uint64_t> ks(size);
    for (std::size_t i = 0; i < size; ++i) ks[i] = nonFactors()[i % nonFactors().size()];
    for (std::size_t s : slots) ks[s] = kFactorK;
    return ks;
}

class Launch : public OnEachDevice {};

// Only slots below both the count and the grid are tested. Slots past the
// count hold an earlier batch's multipliers, here all the factor: none may
// come back. The count goes on past three records, so the host knows records
// were lost.
TEST_P(Launch, CountsAndRecordsTheFactorsOfItsBatchAlone) {
    ASSERT_TRUE(gmpIsFactor(kFactorK, kFactorN));
    ASSERT_EQ(kFactorKernel, servingKernel(kFactorK, kFactorN));
    ASSERT_GT(kFactorK, uint64_t{1} << 32);
    struct Case {
        const char* name;
        uint32_t batch;
        std::vector<std::size_t> factorSlots;
        uint32_t gridThreads;  // 0: the batch rounded up to whole blocks of 256
    };
    std::vector<Case> cases = {
        {"none", 300, {}, 0},
        {"one in the first slot", 300, {0}, 0},
        {"one in the last slot", 300, {299}, 0},
        {"two", 300, {7, 250}, 0},
        {"three in different blocks", 700, {1, 300, 699}, 0},
        {"five", 700, {0, 100, 256, 511, 640}, 0},
        {"forty spread over many chunks", 5000, {}, 0},
        {"count 0", 0, {}, 512},
        {"one in a block", 1, {}, 256},
        {"part of a block", 100, {}, 256},
        {"part of several blocks", 600, {}, 2048},
        {"a whole block", 256, {}, 1024},
        {"the last of 1", 1, {0}, 1024},
        {"the last of 255", 255, {254}, 1024},
        {"the last of 257", 257, {256}, 1024},
        {"the last of 1000", 1000, {999}, 1024},
        {"a grid of one block", 10, {4}, 256},
        {"a grid far larger", 10, {4}, 4096},
        {"a grid far larger still", 10, {4}, 65536},
        {"a count beyond the grid", 512, {100, 400}, 256},
        {"a full batch", kBatchCapacity, {0, kBatchCapacity - 1}, kBatchCapacity},
    };
    for (std::size_t s = 3; s < 5000; s += 125) cases[6].factorSlots.push_back(s);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const uint32_t grid = c.gridThreads != 0 ? c.gridThreads : std::max<uint32_t>(256, (c.batch + 255) / 256 * 256);
        if (grid > c.batch) plant(std::vector<uint64_t>(grid - c.batch, kFactorK), c.batch);
        const Outcome out = run(kFactorKernel, kFactorN, batchWithFactorsAt(c.batch, c.factorSlots), c.gridThreads);
        ASSERT_EQ(0, out.launchStatus);
        ASSERT_EQ(0, out.syncStatus);
        const auto found = static_cast<uint32_t>(
            std::count_if(c.factorSlots.begin(), c.factorSlots.end(), [&](std::size_t s) { return s < grid; }));
        EXPECT_EQ(found, out.count());
        EXPECT_EQ(std::vector<uint64_t>(std::min(found, kResultRecords), kFactorK), out.records());
        expectUnusedWordsZero(out);
    }
}

// Many short launches in a row, each with its factor somewhere else: every
// launch must see its own batch and leave nothing behind for the next.
TEST_P(Launch, ManyInARowEachSeeTheirOwnBatch) {
    std::mt19937 rng(11);
    for (int i = 0; i < 150; ++i) {
        const std::size_t size = 1 + rng() % nonFactors().size();
        const bool hasFactor = i % 3 != 0;
        const Outcome out = run(kFactorKernel, kFactorN,
                                        batchWithFactorsAt(size, hasFactor ? std::vector{rng() % size} : std::vector<std::size_t>{}));
        ASSERT_EQ(0, out.launchStatus) << "launch " << i;
        ASSERT_EQ(0, out.syncStatus) << "launch " << i;
        ASSERT_EQ(hasFactor ? 1u : 0u, out.count()) << "launch " << i << " of " << size;
    }
}

// Mistakes of the caller come back as error numbers with a text, and the
// device stays usable; with nothing launched, synchronising returns at once.
TEST_P(Launch, BadLaunchesAreRefusedWithAnError) {
    EXPECT_EQ(0, runtime().synchronize());
    EXPECT_EQ(0, runtime().synchronize());
    EXPECT_EQ("no error", runtime().errorText(0));
    struct Bad {
        const char* name;
        int kernel;
        uint32_t blocks;
        uint32_t threadsPerBlock;
    };
    const Bad cases[] = {
        {"kernel index -1", -1, 1, 256},
        {"kernel index past the table", kKernelCount, 1, 256},
        {"grid past the batch capacity", 0, kBatchCapacity / 256 + 1, 256},
        {"no threads", 0, 0, 256},
    };
    for (const Bad& b : cases) {
        SCOPED_TRACE(b.name);
        const int code = runtime().launch(b.kernel, b.blocks, b.threadsPerBlock, KernelArgs{nullptr, nullptr, kFactorN, 10, nullptr});
        EXPECT_NE(0, code);
        EXPECT_FALSE(runtime().errorText(code).empty());
        EXPECT_NE("no error", runtime().errorText(code));
        const Outcome out = run(kFactorKernel, kFactorN, batchWithFactorsAt(10, {3}));
        EXPECT_EQ(0, out.launchStatus);
        EXPECT_EQ(1u, out.count());
    }
}

INSTANTIATE_TEST_SUITE_P(Runtime, Launch, ::testing::ValuesIn(devicesToTest()), wayParamName);

}  // namespace
}  // namespace kalvenor::testing
