// The result buffer, the batch count and the launch itself, through the
// runtime interface on every device this machine has.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "runtime_harness.h"

namespace kalvenor::testing {
namespace {

// A factor above 2^32 (so a record's high word matters), served by the
// smallest kernel, which keeps these launches cheap.
constexpr uint64_t kFactorK = 25709319373ull;
constexpr uint32_t kFactorN = 36;
const int kFactorKernel = servingKernel(kFactorK, kFactorN);

// `count` multipliers of the factor's level that GMP says are not factors.
std::vector<uint64_t> nonFactors(std::size_t count, uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::vector<uint64_t> ks;
    while (ks.size() < count) {
        // Top bit 28..59 is the lower level of window 1 at n = 36.
        const int b = 28 + static_cast<int>(rng() % 32);
        const uint64_t k = (uint64_t{1} << b) | (rng() & ((uint64_t{1} << b) - 1));
        if (!gmpReports(k, kFactorN)) ks.push_back(k);
    }
    return ks;
}

// Copies of the factor at the given slots of a batch of non-factors.
std::vector<uint64_t> batchWithFactorsAt(std::size_t size, const std::vector<std::size_t>& slots,
                                         uint64_t seed) {
    std::vector<uint64_t> ks = nonFactors(size, seed);
    for (std::size_t s : slots) ks[s] = kFactorK;
    return ks;
}

void expectReservedWordsZero(const Outcome& out) {
    EXPECT_EQ(0u, out.words[3]);
    EXPECT_EQ(0u, out.words[6]);
    EXPECT_EQ(0u, out.words[9]);
}

void expectGuardIntact(const Outcome& out) {
    for (uint32_t g : out.guard) EXPECT_EQ(LaunchBench::kGuardValue, g) << "written past word 9";
}

class ResultBuffer : public OnEachDevice {};

TEST(ResultBufferSetup, TheFactorFitsTheSmallestKernel) {
    ASSERT_TRUE(gmpReports(kFactorK, kFactorN));
    ASSERT_EQ(0, kFactorKernel);
    ASSERT_GT(kFactorK, uint64_t{1} << 32);
}

struct FoundCase {
    const char* name;
    std::size_t batch;
    std::vector<std::size_t> factorSlots;
};

TEST_P(ResultBuffer, HoldsTheCountAndAtMostThreeRecords) {
    const FoundCase cases[] = {
        {"none", 300, {}},
        {"one in the first slot", 300, {0}},
        {"one in the last slot", 300, {299}},
        {"two", 300, {7, 250}},
        {"three in different blocks", 700, {1, 300, 699}},
        {"five", 700, {0, 100, 256, 511, 640}},
        {"forty spread over many chunks", 5000, {}},
    };
    uint64_t seed = 1;
    for (FoundCase c : cases) {
        SCOPED_TRACE(c.name);
        if (c.factorSlots.empty() && c.batch == 5000) {
            for (std::size_t s = 3; s < 5000; s += 125) c.factorSlots.push_back(s);
        }
        const auto ks = batchWithFactorsAt(c.batch, c.factorSlots, seed++);
        const Outcome out = bench().run(kFactorKernel, kFactorN, ks);
        ASSERT_EQ(0, out.launchStatus);
        ASSERT_EQ(0, out.syncStatus);

        // The count goes on past three, so the host knows records were lost.
        EXPECT_EQ(c.factorSlots.size(), out.count());
        const std::size_t stored = std::min<std::size_t>(c.factorSlots.size(), kResultRecords);
        for (std::size_t r = 0; r < stored; ++r) {
            EXPECT_EQ(static_cast<uint32_t>(kFactorK), out.words[3 * r + 1]) << "record " << r;
            EXPECT_EQ(static_cast<uint32_t>(kFactorK >> 32), out.words[3 * r + 2]) << "record " << r;
        }
        for (std::size_t r = stored; r < kResultRecords; ++r) {
            EXPECT_EQ(0u, out.words[3 * r + 1]) << "record " << r;
            EXPECT_EQ(0u, out.words[3 * r + 2]) << "record " << r;
        }
        EXPECT_EQ(std::vector<uint64_t>(stored, kFactorK), out.records());
        expectReservedWordsZero(out);
        expectGuardIntact(out);
    }
}

// Slots past the batch count hold an earlier batch's multipliers; a factor
// there must not come back a second time.
TEST_P(ResultBuffer, SlotsPastTheCountAreNeverTested) {
    struct StaleCase {
        const char* name;
        std::size_t batch;      // the current batch, slots 0..batch-1
        uint32_t gridThreads;   // covers the stale slots
    };
    const StaleCase cases[] = {
        {"count 0", 0, 512},
        {"one in a block", 1, 256},
        {"part of a block", 100, 256},
        {"part of several blocks", 600, 2048},
        {"a whole block", 256, 1024},
    };
    for (const StaleCase& c : cases) {
        SCOPED_TRACE(c.name);
        bench().plant(std::vector<uint64_t>(c.gridThreads - c.batch, kFactorK),
                      static_cast<uint32_t>(c.batch));
        const Outcome out = bench().run(kFactorKernel, kFactorN, nonFactors(c.batch, 9),
                                        c.gridThreads);
        ASSERT_EQ(0, out.launchStatus);
        ASSERT_EQ(0, out.syncStatus);
        EXPECT_EQ(0u, out.count());
        EXPECT_TRUE(out.records().empty());
        expectGuardIntact(out);
    }
}

// The one factor of the batch is found wherever it sits, and nothing else
// is, when the batch ends inside a block.
TEST_P(ResultBuffer, TheLastSlotOfTheCountIsTested) {
    for (std::size_t size : {1u, 255u, 257u, 1000u}) {
        SCOPED_TRACE(size);
        bench().plant(std::vector<uint64_t>(1024 - size, kFactorK), static_cast<uint32_t>(size));
        const Outcome out = bench().run(kFactorKernel, kFactorN,
                                        batchWithFactorsAt(size, {size - 1}, size), 1024);
        ASSERT_EQ(0, out.launchStatus);
        EXPECT_EQ(1u, out.count());
        EXPECT_EQ(std::vector<uint64_t>{kFactorK}, out.records());
    }
}

// Multipliers outside the kernel's precondition end in bounded time and are
// not reported, not even one that passes the congruence for a wider P.
TEST_P(ResultBuffer, PreconditionViolatorsEndAndAreNotReported) {
    struct Violator {
        const char* name;
        int kernel;
        uint32_t n;
        uint64_t k;
    };
    const Violator cases[] = {
        {"k = 0", 0, 36, 0},
        {"k = 1, P too narrow", 0, 36, 1},
        {"P one word too narrow", 0, 36, (uint64_t{1} << 27) | 12345},
        {"P one word too wide", 0, 36, (uint64_t{1} << 60) | 99},
        {"all ones", 0, 63, ~uint64_t{0}},
        {"a factor of the lower level given to the upper", kernelIndexOf(3, 6), 127, 5},
        {"an upper-level factor given to the lower level", kernelIndexOf(3, 5), 120,
         1527888802614951ull},
        {"k = 0 in the widest kernel", kKernelCount - 1, 600, 0},
        {"a narrow P in the widest kernel", kKernelCount - 1, 600, 3},
    };
    for (const Violator& v : cases) {
        SCOPED_TRACE(v.name);
        ASSERT_GE(v.kernel, 0);
        ASSERT_NE(v.kernel, servingKernel(v.k, v.n));
        // Surrounded by the real factor when the kernel is its own, so the
        // launch is seen to go on around the violators.
        std::vector<uint64_t> ks(40, v.k);
        const bool withFactor = v.kernel == kFactorKernel && v.n == kFactorN;
        if (withFactor) ks[20] = kFactorK;
        const Outcome out = bench().run(v.kernel, v.n, ks);
        ASSERT_EQ(0, out.launchStatus);
        ASSERT_EQ(0, out.syncStatus);
        if (withFactor) {
            EXPECT_EQ(1u, out.count());
            EXPECT_EQ(std::vector<uint64_t>{kFactorK}, out.records());
        } else {
            EXPECT_EQ(0u, out.count());
        }
        expectGuardIntact(out);
    }
}

INSTANTIATE_TEST_SUITE_P(Runtime, ResultBuffer, ::testing::ValuesIn(devicesToTest()),
                         deviceParamName);

// ---- the launch itself ----

class Launch : public OnEachDevice {};

TEST_P(Launch, SynchronizeWithNothingLaunchedReturnsAtOnce) {
    EXPECT_EQ(0, runtime().synchronize());
    EXPECT_EQ(0, runtime().synchronize());
}

// Many short launches in a row, each with its factor somewhere else: every
// launch must see its own batch and leave nothing behind for the next.
TEST_P(Launch, ManyLaunchesInARowEachSeeTheirOwnBatch) {
    const std::vector<uint64_t> filler = nonFactors(700, 3);
    std::mt19937 rng(11);
    for (int i = 0; i < 150; ++i) {
        const std::size_t size = 1 + rng() % filler.size();
        std::vector<uint64_t> ks(filler.begin(), filler.begin() + static_cast<std::ptrdiff_t>(size));
        const bool hasFactor = i % 3 != 0;
        if (hasFactor) ks[rng() % size] = kFactorK;
        const Outcome out = bench().run(kFactorKernel, kFactorN, ks);
        ASSERT_EQ(0, out.launchStatus) << "launch " << i;
        ASSERT_EQ(0, out.syncStatus) << "launch " << i;
        ASSERT_EQ(hasFactor ? 1u : 0u, out.count()) << "launch " << i << " of " << size;
    }
}

// The grid may be far larger than the batch; only the batch is tested.
TEST_P(Launch, GridLargerThanTheCount) {
    const auto ks = batchWithFactorsAt(10, {4}, 5);
    for (uint32_t grid : {256u, 4096u, 65536u}) {
        SCOPED_TRACE(grid);
        bench().plant(std::vector<uint64_t>(grid - 10, kFactorK), 10);
        const Outcome out = bench().run(kFactorKernel, kFactorN, ks, grid);
        ASSERT_EQ(0, out.launchStatus);
        EXPECT_EQ(1u, out.count());
    }
}

// The largest launch: every slot of the batch, factors in the first and
// the last.
TEST_P(Launch, AFullBatch) {
    std::vector<uint64_t> ks(kBatchCapacity, nonFactors(1, 12)[0]);
    ks.front() = kFactorK;
    ks.back() = kFactorK;
    const Outcome out = bench().run(kFactorKernel, kFactorN, ks, kBatchCapacity);
    ASSERT_EQ(0, out.launchStatus);
    ASSERT_EQ(0, out.syncStatus);
    EXPECT_EQ(2u, out.count());
    EXPECT_EQ(std::vector<uint64_t>(2, kFactorK), out.records());
}

// A count beyond the grid tests only the slots the grid covers.
TEST_P(Launch, CountBeyondTheGridTestsOnlyTheGrid) {
    auto ks = nonFactors(512, 6);
    ks[100] = kFactorK;
    ks[400] = kFactorK;  // past the grid of 256 threads
    const Outcome out = bench().run(kFactorKernel, kFactorN, ks, 256);
    ASSERT_EQ(0, out.launchStatus);
    ASSERT_EQ(0, out.syncStatus);
    EXPECT_EQ(1u, out.count());
}

// Mistakes of the caller come back as error numbers with a text, and the
// device stays usable.
TEST_P(Launch, BadLaunchesAreRefusedWithAnError) {
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
    const auto ks = batchWithFactorsAt(10, {3}, 8);
    for (const Bad& b : cases) {
        SCOPED_TRACE(b.name);
        KernelArgs args{nullptr, nullptr, kFactorN, 10, nullptr};
        const int code = runtime().launch(b.kernel, b.blocks, b.threadsPerBlock, args);
        EXPECT_NE(0, code);
        EXPECT_FALSE(runtime().errorText(code).empty());
        EXPECT_NE("no error", runtime().errorText(code));
        const Outcome out = bench().run(kFactorKernel, kFactorN, ks);
        EXPECT_EQ(0, out.launchStatus);
        EXPECT_EQ(1u, out.count());
    }
}

TEST_P(Launch, ErrorTextOfSuccess) { EXPECT_EQ("no error", runtime().errorText(0)); }

INSTANTIATE_TEST_SUITE_P(Runtime, Launch, ::testing::ValuesIn(devicesToTest()), deviceParamName);

}  // namespace
}  // namespace kalvenor::testing
