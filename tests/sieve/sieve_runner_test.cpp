#include "sieve/sieve_runner.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <sys/resource.h>
#include <string>
#include <vector>

#include "kernels/transfer_buffers.h"
#include "sieve/factor_report.h"
#include "sieve/small_primes.h"
#include "support/test_support.h"
#include "spy_runtime.h"

namespace kalvenor {
namespace {

using kalvenor::testing::countOf;
using kalvenor::testing::ScratchDir;
using kalvenor::testing::SpyRuntime;

constexpr uint64_t kTop = UINT64_MAX;
constexpr int kKernelIndex = 7;

// The odd k in [first, last] for which no prime divides k*2^n+1, computed
// one multiplier at a time with 2^n mod q found by doubling.
std::vector<uint64_t> survivors(uint64_t first, uint64_t last, uint32_t n,
                                const std::vector<uint32_t>& primes) {
    std::vector<uint64_t> powers;
    for (uint32_t q : primes) {
        uint64_t v = 1;
        for (uint32_t i = 0; i < n; ++i) v = v * 2 % q;
        powers.push_back(v);
    }
    std::vector<uint64_t> kept;
    if (first > last) return kept;
    for (uint64_t k = first;; k += 2) {
        bool struck = false;
        for (std::size_t i = 0; i < primes.size() && !struck; ++i)
            struck = (static_cast<unsigned __int128>(k % primes[i]) * powers[i] + 1) % primes[i] == 0;
        if (!struck) kept.push_back(k);
        if (last - k < 2) break;
    }
    return kept;
}

// A sieve run against the spy device, with a fake clock that the device
// moves forward by `secondsPerLaunch` and a checkpoint hook that records.
struct Rig {
    SpyRuntime spy;
    TransferBuffers buffers;
    LaunchConfig config;
    std::vector<uint32_t> primes;
    RunState state;
    int64_t now = 1000;
    int64_t secondsPerLaunch = 0;
    struct Checkpoint {
        uint64_t k, kTested;
        int32_t factors;
    };
    std::vector<Checkpoint> checkpoints;

    Rig(uint32_t n, uint32_t threads, int32_t range, std::vector<uint32_t> table)
        : buffers(allocateTransferBuffers(spy)), primes(std::move(table)) {
        config.threadsPerGrid = threads;
        config.blocksPerGrid = (threads + 255) / 256;
        config.sieveRange = range;
        config.launchEntry = kKernelIndex;
        state.nCurrent = n;
        spy.onLaunch = [this](const SpyRuntime::Launch&) {
            now += secondsPerLaunch;
            if (spy.launches.size() > 100000) {
                std::fprintf(stderr, "runaway walk\n");
                std::abort();
            }
        };
    }
    ~Rig() { releaseTransferBuffers(spy, buffers); }

    void run(uint64_t first, uint64_t last) {
        const SieveContext context{spy, buffers, config, primes};
        const SieveHooks hooks{[this] { return now; },
                               [this](RunState& s, uint64_t k) {
                                   checkpoints.push_back({k, s.kTested, s.factors});
                               }};
        runSieve(first, last, state, context, hooks);
    }

    void expectLaunchShapes() const {
        ASSERT_EQ(spy.asyncCopyBytes.size(), spy.launches.size());
        for (std::size_t i = 0; i < spy.launches.size(); ++i) {
            const SpyRuntime::Launch& l = spy.launches[i];
            EXPECT_EQ(l.kernelIndex, kKernelIndex);
            EXPECT_EQ(l.blocks, config.blocksPerGrid);
            EXPECT_EQ(l.threadsPerBlock, 256u);
            EXPECT_EQ(l.n, state.nCurrent);
            EXPECT_LE(l.count, config.threadsPerGrid);
            EXPECT_EQ(spy.asyncCopyBytes[i], l.count * sizeof(uint64_t));
        }
    }
};

TEST(RunSieve, RandomRangesSendEverySurvivorOnceInOrder) {
    std::mt19937_64 random(20240607);
    const uint32_t primeCounts[] = {0, 1, 4, 10, 11, 30, 100};
    for (int trial = 0; trial < 300; ++trial) {
        const uint32_t n = 32 + static_cast<uint32_t>(random() % 576);
        const uint32_t primeCount = primeCounts[random() % std::size(primeCounts)];
        const uint32_t threads = 1 + static_cast<uint32_t>(random() % 200);
        const int32_t range = 1 + static_cast<int32_t>(random() % 300);
        const uint64_t odds = random() % 1500;
        uint64_t first = 0;
        switch (random() % 3) {
            case 0: first = 1 + 2 * (random() % 5000); break;
            case 1: first = random() | 1; break;
            default: first = kTop - 2 * (random() % 3000); break;
        }
        uint64_t last = kTop - first < 2 * odds ? kTop : first + 2 * odds + random() % 2;
        if (random() % 20 == 0 && first > 2) last = first - 2;  // nothing to do
        SCOPED_TRACE("trial " + std::to_string(trial) + ": n " + std::to_string(n) + " primes " +
                     std::to_string(primeCount) + " threads " + std::to_string(threads) +
                     " range " + std::to_string(range) + " k " + std::to_string(first) + ".." +
                     std::to_string(last));

        Rig rig(n, threads, range, buildSmallPrimes(primeCount));
        rig.state.kTested = 17;  // carried over from a checkpoint
        rig.run(first, last);
        const std::vector<uint64_t> expected = survivors(first, last, n, rig.primes);
        ASSERT_EQ(rig.spy.sent(), expected);
        EXPECT_EQ(rig.state.kTested, 17 + expected.size());
        rig.expectLaunchShapes();
        if (first > last) {
            EXPECT_TRUE(rig.spy.launches.empty());
        }
    }
}

TEST(RunSieve, WalksToTheTopOfSixtyFourBits) {
    struct TopCase {
        const char* what;
        uint64_t first, last;
        uint32_t threads;
        int32_t range;
    };
    const TopCase cases[] = {
        {"the last multiplier alone", kTop, kTop, 4, 7},
        {"the last two", kTop - 2, kTop, 1, 1},
        {"a few segments up to the top", kTop - 2 * 40, kTop, 5, 7},
        {"a segment longer than what is left", kTop - 2 * 3, kTop, 100, 1000},
        {"full batches exactly at the top", kTop - 2 * 99, kTop, 3, 9},
        {"ending one below the top", kTop - 2 * 20, kTop - 1, 4, 6},
    };
    for (const TopCase& c : cases) {
        SCOPED_TRACE(c.what);
        Rig rig(33, c.threads, c.range, {3, 5, 7, 11, 13});
        rig.secondsPerLaunch = 100;  // a checkpoint would be due after every batch
        rig.run(c.first, c.last);
        const std::vector<uint64_t> expected = survivors(c.first, c.last, 33, rig.primes);
        EXPECT_EQ(rig.spy.sent(), expected);
        EXPECT_EQ(rig.state.kTested, expected.size());
        for (const Rig::Checkpoint& cp : rig.checkpoints) {
            EXPECT_LE(cp.k, c.last);  // never a position past the end
            EXPECT_EQ(cp.k % 2, 1u);
        }
        rig.expectLaunchShapes();
    }
}

TEST(RunSieve, FullBatchRestartsRightAfterTheLastMultiplierTaken) {
    // Survivors of {3,5,7}, n=32, from 3: 3 7 13 15 | 21 25 27 31 | 37 43 45 ...
    Rig rig(32, 4, 20, {3, 5, 7});
    rig.secondsPerLaunch = 61;  // a checkpoint after every batch but the last
    rig.run(3, 61);
    const std::vector<uint64_t> expected = survivors(3, 61, 32, rig.primes);
    ASSERT_EQ(rig.spy.sent(), expected);
    ASSERT_GE(rig.spy.launches.size(), 3u);
    EXPECT_EQ(rig.spy.launches[0].batch, (std::vector<uint64_t>{3, 7, 13, 15}));
    EXPECT_EQ(rig.spy.launches[1].batch, (std::vector<uint64_t>{21, 25, 27, 31}));
    ASSERT_EQ(rig.checkpoints.size(), rig.spy.launches.size() - 1);
    for (std::size_t i = 0; i + 1 < rig.spy.launches.size(); ++i) {
        const SpyRuntime::Launch& l = rig.spy.launches[i];
        if (l.count == rig.config.threadsPerGrid) {
            EXPECT_EQ(rig.checkpoints[i].k, l.batch.back() + 2) << "batch " << i;
        }
    }
}

TEST(RunSieve, SegmentThatRunsOutLeavesAPartialBatch) {
    // A range of 10 odd multipliers per segment and room for 100: every
    // batch ends with its segment, so the walk moves 20 at a time.
    Rig rig(32, 100, 10, {3, 5, 7});
    rig.secondsPerLaunch = 61;
    rig.run(3, 81);
    EXPECT_EQ(rig.spy.sent(), survivors(3, 81, 32, rig.primes));
    ASSERT_EQ(rig.spy.launches.size(), 4u);
    ASSERT_EQ(rig.checkpoints.size(), 3u);
    EXPECT_EQ(rig.checkpoints[0].k, 23u);
    EXPECT_EQ(rig.checkpoints[1].k, 43u);
    EXPECT_EQ(rig.checkpoints[2].k, 63u);
}

TEST(RunSieve, CheckpointOnlyWhenMoreThanSixtySecondsHavePassed) {
    struct TimerCase {
        int64_t secondsPerLaunch;
        std::vector<uint64_t> positions;
    };
    // No table primes, one multiplier per batch: batch i takes 1+2i.
    const TimerCase cases[] = {
        {0, {}},
        {60, {5, 9}},         // 120 s after the mark at the 2nd and 4th batch
        {61, {3, 5, 7, 9}},   // after every batch but the one that ends the walk
        {31, {5, 9}},         // 62 s at the 2nd and at the 4th batch
        {30, {7}},            // exactly 60 s at the 2nd batch is not enough; 90 s at the 3rd
    };
    for (const TimerCase& c : cases) {
        Rig rig(40, 1, 100, {});
        rig.secondsPerLaunch = c.secondsPerLaunch;
        rig.run(1, 9);
        std::vector<uint64_t> positions;
        for (const Rig::Checkpoint& cp : rig.checkpoints) positions.push_back(cp.k);
        EXPECT_EQ(positions, c.positions) << c.secondsPerLaunch << " s per batch";
    }
}

TEST(RunSieve, CheckpointComesAfterTheBatchAndItsFactorsAreReported) {
    ScratchDir dir;
    Rig rig(40, 1, 100, {});
    rig.secondsPerLaunch = 61;
    rig.spy.passing = {3};
    ::testing::internal::CaptureStdout();
    rig.run(1, 5);
    ::testing::internal::GetCapturedStdout();
    ASSERT_EQ(rig.checkpoints.size(), 2u);
    EXPECT_EQ(rig.checkpoints[0].k, 3u);
    EXPECT_EQ(rig.checkpoints[0].kTested, 1u);
    EXPECT_EQ(rig.checkpoints[1].k, 5u);
    EXPECT_EQ(rig.checkpoints[1].kTested, 2u);
    // k=3 was found in this very batch and reported before the checkpoint
    // moved past it, so a kill in between cannot lose it.
    EXPECT_EQ(rig.checkpoints[1].factors, 1);
    EXPECT_EQ(rig.state.factors, 1);
}

TEST(RunSieve, StartClearsTheDeviceResultEvenWithNothingToDo) {
    Rig rig(32, 16, 16, {3, 5, 7});
    rig.run(11, 9);
    EXPECT_TRUE(rig.spy.launches.empty());
    EXPECT_EQ(rig.spy.resultClears, 1);
    for (int w = 0; w < 10; ++w) EXPECT_EQ(rig.spy.deviceResult[w], 0u) << w;
    EXPECT_EQ(rig.state.kTested, 0u);
}

TEST(RunSieve, StruckSingleMultiplierStillLaunchesAnEmptyBatch) {
    Rig rig(32, 16, 16, {3, 5, 7});  // 5*2^32+1 is divisible by 3
    rig.run(5, 5);
    ASSERT_EQ(rig.spy.launches.size(), 1u);
    EXPECT_EQ(rig.spy.launches[0].count, 0u);
    EXPECT_EQ(rig.state.kTested, 0u);
    EXPECT_EQ(rig.spy.resultClears, 1);  // nothing reported, nothing to clear
}

TEST(RunSieve, ReportsEveryRecordOfALaunch) {
    ScratchDir dir;
    const uint64_t base = (1ull << 40) + 1;
    Rig rig(300, 64, 64, {});
    rig.spy.passing = {base + 4, base + 100};
    rig.state.factors = 3;
    ::testing::internal::CaptureStdout();
    rig.run(base, base + 300);
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, factorBanner(base + 4, 300) + factorBanner(base + 100, 300));
    EXPECT_EQ(rig.state.factors, 5);
    const std::string log = kalvenor::testing::readFile(dir / "factors.txt");
    EXPECT_EQ(countOf(log, factorMessage(base + 4, 300)), 1);
    EXPECT_EQ(countOf(log, factorMessage(base + 100, 300)), 1);
    EXPECT_EQ(countOf(log, "\n"), 4);
    EXPECT_EQ(rig.spy.resultClears, 2);  // the start, and after the one launch that reported
    for (int w = 0; w < 10; ++w) EXPECT_EQ(rig.spy.deviceResult[w], 0u) << w;
}

TEST(RunSieve, FactorsInSeparateLaunchesAreEachReportedOnce) {
    ScratchDir dir;
    Rig rig(127, 8, 8, {});
    rig.spy.passing = {5, 21, 23, 99};
    ::testing::internal::CaptureStdout();
    rig.run(1, 99);
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, factorBanner(5, 127) + factorBanner(21, 127) + factorBanner(23, 127) +
                       factorBanner(99, 127));
    EXPECT_EQ(rig.state.factors, 4);
    EXPECT_EQ(rig.spy.resultClears, 1 + 3);  // 21 and 23 share a launch
}

TEST(RunSieve, LaunchCountingMoreThanThreeIsTestedAgainOnTheHost) {
    ScratchDir dir;
    // The fake device claims five; of the batch 1..41 only k=5 is a factor
    // of a Fermat number for n=127, and the host test finds just that.
    Rig rig(127, 64, 64, {});
    rig.spy.passing = {3, 5, 7, 9, 11};
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    rig.run(1, 41);
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), factorBanner(5, 127));
    EXPECT_NE(err.find("WARNING"), std::string::npos) << err;
    EXPECT_EQ(rig.state.factors, 1);
}

TEST(RunSieve, FailedBatchIsRunAgainAndCountedOnce) {
    struct RetryCase {
        const char* what;
        int failSynchronize, failLaunch;
        int syncMessages;
    };
    const RetryCase cases[] = {
        {"synchronisation fails once", 1, 0, 1},
        {"launch refused once", 0, 1, 0},
    };
    for (const RetryCase& c : cases) {
        SCOPED_TRACE(c.what);
        ScratchDir dir;
        Rig rig(127, 8, 8, {});
        rig.spy.passing = {5};
        rig.spy.failSynchronize = c.failSynchronize;
        rig.spy.failLaunch = c.failLaunch;
        ::testing::internal::CaptureStdout();
        rig.run(1, 31);
        const std::string out = ::testing::internal::GetCapturedStdout();
        EXPECT_EQ(countOf(out, "\nERROR: cudaDeviceSynchronize failed!\n"), c.syncMessages);
        EXPECT_EQ(countOf(out, factorMessage(5, 127)), 1) << out;
        EXPECT_EQ(rig.state.factors, 1);
        EXPECT_EQ(rig.state.kTested, 16u);
        const std::vector<uint64_t> firstBatch = {1, 3, 5, 7, 9, 11, 13, 15};
        if (c.failSynchronize > 0) {
            // The failed run reached the device; the rerun sends the same batch.
            ASSERT_EQ(rig.spy.launches.size(), 3u);
            EXPECT_EQ(rig.spy.launches[0].batch, firstBatch);
            EXPECT_EQ(rig.spy.launches[1].batch, firstBatch);
        } else {
            ASSERT_EQ(rig.spy.launches.size(), 2u);
            EXPECT_EQ(rig.spy.launches[0].batch, firstBatch);
        }
    }
}

void runWithFailures(int failSynchronize, int failLaunch) {
    Rig rig(127, 8, 8, {});
    rig.spy.failSynchronize = failSynchronize;
    rig.spy.failLaunch = failLaunch;
    rig.run(1, 31);
}

TEST(RunSieveDeathTest, BatchThatFailsTwiceEndsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(runWithFailures(2, 0), ::testing::ExitedWithCode(255),
                "CUDA Runtime API error 999: spy device lost\\.");
    EXPECT_EXIT(runWithFailures(0, 2), ::testing::ExitedWithCode(255),
                "CUDA Runtime API error 998: spy launch refused\\.");
}

void runUnderMemoryLimit() {
    const rlimit limit{512u << 20, 512u << 20};
    ::setrlimit(RLIMIT_AS, &limit);
    Rig rig(127, 256, 1 << 30, {3});
    rig.run(1, 31);
}

TEST(RunSieveDeathTest, SieveArrayThatCannotBeAllocatedEndsTheProcess) {
    if (testing::kAddressSanitizer) GTEST_SKIP() << "an address-space limit starves the sanitizer itself";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(runUnderMemoryLimit(), ::testing::ExitedWithCode(1),
                "\nThere is not enough memory to allocate a table for the sieve: ");
}

}  // namespace
}  // namespace kalvenor
