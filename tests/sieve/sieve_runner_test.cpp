#include "sieve/sieve_runner.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <set>
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
    ScratchDir dir;  // where reported factors are logged
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
    bool capture = true;  // off where a death test must see standard error
    std::string out, err;

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
        if (!capture) return runSieve(first, last, state, context, hooks);
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        runSieve(first, last, state, context, hooks);
        err = ::testing::internal::GetCapturedStderr();
        out = ::testing::internal::GetCapturedStdout();
    }

    // Runs first..last and checks what every walk owes: each survivor sent
    // once and in order and counted, every launch shaped by the
    // configuration, and no checkpoint at an even k or past the end.
    void expectWalk(uint64_t first, uint64_t last) {
        const uint64_t testedBefore = state.kTested;
        run(first, last);
        const std::vector<uint64_t> expected = survivors(first, last, state.nCurrent, primes);
        ASSERT_EQ(spy.sent(), expected);
        EXPECT_EQ(state.kTested, testedBefore + expected.size());
        if (first > last) {
            EXPECT_TRUE(spy.launches.empty());
        }
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
        for (const Checkpoint& cp : checkpoints) {
            EXPECT_LE(cp.k, last);
            EXPECT_EQ(cp.k % 2, 1u);
        }
    }
};

TEST(RunSieve, WalksSendEverySurvivorOnceInOrder) {
    // Walks to the top of 64 bits, where one step too far wraps around.
    struct TopCase {
        const char* what;
        uint64_t first, last;
        uint32_t threads;
        int32_t range;
    };
    const TopCase tops[] = {
        {"the last multiplier alone", kTop, kTop, 4, 7},
        {"the last two", kTop - 2, kTop, 1, 1},
        {"a few segments up to the top", kTop - 2 * 40, kTop, 5, 7},
        {"a segment longer than what is left", kTop - 2 * 3, kTop, 100, 1000},
        {"full batches exactly at the top", kTop - 2 * 99, kTop, 3, 9},
        {"ending one below the top", kTop - 2 * 20, kTop - 1, 4, 6},
    };
    for (const TopCase& c : tops) {
        SCOPED_TRACE(c.what);
        Rig rig(33, c.threads, c.range, {3, 5, 7, 11, 13});
        rig.secondsPerLaunch = 100;  // a checkpoint would be due after every batch
        ASSERT_NO_FATAL_FAILURE(rig.expectWalk(c.first, c.last));
    }

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
        ASSERT_NO_FATAL_FAILURE(rig.expectWalk(first, last));
    }
}

// A checkpoint names the first multiplier not yet tested and carries the
// counts of everything before it, so a restart from it neither repeats nor
// skips a batch, and no factor found before it can be lost.
TEST(RunSieve, CheckpointsComeAfterAMinuteAndResumeRightAfterTheBatch) {
    struct CheckpointCase {
        const char* what;
        uint32_t n, threads;
        int32_t range;
        std::vector<uint32_t> primes;
        int64_t secondsPerLaunch;
        uint64_t first, last;
        std::set<uint64_t> passing;
        std::size_t launches;
        std::vector<uint64_t> positions;
        std::vector<std::vector<uint64_t>> leadingBatches;
    };
    // With no table primes and one multiplier per batch, batch i takes 1+2i;
    // 61 s per batch makes a checkpoint due after every batch but the last.
    const CheckpointCase cases[] = {
        // Survivors of {3,5,7}, n=32, from 3: 3 7 13 15 | 21 25 27 31 | 37 43 45 51 | ...
        {"full batches resume after the last multiplier taken", 32, 4, 20, {3, 5, 7}, 61, 3, 61,
         {}, 4, {17, 33, 53}, {{3, 7, 13, 15}, {21, 25, 27, 31}, {37, 43, 45, 51}}},
        // Ten odd multipliers per segment and room for 100: every batch ends
        // with its segment, so the walk moves 20 at a time.
        {"a segment that runs out leaves a partial batch", 32, 100, 10, {3, 5, 7}, 61, 3, 81, {},
         4, {23, 43, 63}, {}},
        {"no time passes", 40, 1, 100, {}, 0, 1, 9, {}, 5, {}, {}},
        {"120 s after the mark at the 2nd and 4th batch", 40, 1, 100, {}, 60, 1, 9, {}, 5, {5, 9}, {}},
        {"after every batch but the one that ends the walk", 40, 1, 100, {}, 61, 1, 9, {}, 5,
         {3, 5, 7, 9}, {}},
        {"62 s at the 2nd and at the 4th batch", 40, 1, 100, {}, 31, 1, 9, {}, 5, {5, 9}, {}},
        {"exactly 60 s at the 2nd batch is not enough; 90 s at the 3rd", 40, 1, 100, {}, 30, 1, 9,
         {}, 5, {7}, {}},
        // k=3 is reported before the checkpoint moves past it, so a kill in
        // between cannot lose it.
        {"factor of the batch before the checkpoint", 40, 1, 100, {}, 61, 1, 5, {3}, 3, {3, 5}, {}},
    };
    for (const CheckpointCase& c : cases) {
        SCOPED_TRACE(c.what);
        Rig rig(c.n, c.threads, c.range, c.primes);
        rig.secondsPerLaunch = c.secondsPerLaunch;
        rig.spy.passing = c.passing;
        ASSERT_NO_FATAL_FAILURE(rig.expectWalk(c.first, c.last));
        ASSERT_EQ(rig.spy.launches.size(), c.launches);
        for (std::size_t i = 0; i < c.leadingBatches.size(); ++i)
            EXPECT_EQ(rig.spy.launches[i].batch, c.leadingBatches[i]) << "batch " << i;
        std::vector<uint64_t> positions;
        for (const Rig::Checkpoint& cp : rig.checkpoints) {
            positions.push_back(cp.k);
            EXPECT_EQ(cp.kTested, survivors(c.first, cp.k - 2, c.n, c.primes).size()) << cp.k;
            EXPECT_EQ(cp.factors, std::distance(c.passing.begin(), c.passing.lower_bound(cp.k))) << cp.k;
        }
        EXPECT_EQ(positions, c.positions);
        EXPECT_EQ(rig.state.factors, static_cast<int32_t>(c.passing.size()));
    }
}

TEST(RunSieve, FactorsAreReportedOnceAndTheDeviceResultCleared) {
    constexpr uint64_t base = (1ull << 40) + 1;
    struct ReportCase {
        const char* what;
        uint32_t n, threads;
        std::vector<uint32_t> primes;
        uint64_t first, last;
        std::set<uint64_t> passing;
        std::vector<uint64_t> reported;
        std::size_t launches;
        int resultClears;  // the one at the start, then one after each launch that reported
        bool warning;
    };
    const ReportCase cases[] = {
        {"every record of a launch", 300, 64, {}, base, base + 300, {base + 4, base + 100},
         {base + 4, base + 100}, 3, 2, false},
        {"factors in separate launches, 21 and 23 sharing one", 127, 8, {}, 1, 99, {5, 21, 23, 99},
         {5, 21, 23, 99}, 7, 4, false},
        // The fake device claims five; of the batch 1..41 only k=5 is a
        // factor of a Fermat number for n=127, and the host test finds just that.
        {"a launch counting more than three is tested again on the host", 127, 64, {}, 1, 41,
         {3, 5, 7, 9, 11}, {5}, 1, 2, true},
        {"nothing to do", 32, 16, {3, 5, 7}, 11, 9, {}, {}, 0, 1, false},
        // 5*2^32+1 is divisible by 3.
        {"a struck single multiplier still launches an empty batch", 32, 16, {3, 5, 7}, 5, 5, {},
         {}, 1, 1, false},
    };
    for (const ReportCase& c : cases) {
        SCOPED_TRACE(c.what);
        Rig rig(c.n, c.threads, static_cast<int32_t>(c.threads), c.primes);
        rig.spy.passing = c.passing;
        rig.state.factors = 3;  // carried over from a checkpoint
        ASSERT_NO_FATAL_FAILURE(rig.expectWalk(c.first, c.last));
        EXPECT_EQ(rig.spy.launches.size(), c.launches);
        std::string banners;
        const std::string log = kalvenor::testing::readFile(rig.dir / "factors.txt");
        for (uint64_t k : c.reported) {
            banners += factorBanner(k, c.n);
            EXPECT_EQ(countOf(log, factorMessage(k, c.n)), 1) << k;
        }
        EXPECT_EQ(rig.out, banners);
        EXPECT_EQ(countOf(log, "\n"), 2 * static_cast<int>(c.reported.size()));
        EXPECT_EQ(rig.state.factors, 3 + static_cast<int32_t>(c.reported.size()));
        EXPECT_EQ(rig.spy.resultClears, c.resultClears);
        for (int w = 0; w < 10; ++w) EXPECT_EQ(rig.spy.deviceResult[w], 0u) << w;
        EXPECT_EQ(rig.err.find("WARNING") != std::string::npos, c.warning) << rig.err;
    }
}

TEST(RunSieve, FailedBatchIsRunAgainAndCountedOnce) {
    struct RetryCase {
        const char* what;
        int failSynchronize, failLaunch;
        int syncMessages;
        std::size_t launches;  // the failed run reaches the device only when the launch went out
    };
    const RetryCase cases[] = {
        {"synchronisation fails once", 1, 0, 1, 3},
        {"launch refused once", 0, 1, 0, 2},
    };
    for (const RetryCase& c : cases) {
        SCOPED_TRACE(c.what);
        Rig rig(127, 8, 8, {});
        rig.spy.passing = {5};
        rig.spy.failSynchronize = c.failSynchronize;
        rig.spy.failLaunch = c.failLaunch;
        rig.run(1, 31);
        EXPECT_EQ(countOf(rig.out, "\nERROR: cudaDeviceSynchronize failed!\n"), c.syncMessages);
        EXPECT_EQ(countOf(rig.out, factorMessage(5, 127)), 1) << rig.out;
        EXPECT_EQ(rig.state.factors, 1);
        EXPECT_EQ(rig.state.kTested, 16u);
        ASSERT_EQ(rig.spy.launches.size(), c.launches);
        for (std::size_t i = 0; i + 1 < c.launches; ++i)  // the rerun sends the same batch
            EXPECT_EQ(rig.spy.launches[i].batch, (std::vector<uint64_t>{1, 3, 5, 7, 9, 11, 13, 15}));
    }
}

void runWithFailures(int failSynchronize, int failLaunch) {
    Rig rig(127, 8, 8, {});
    rig.capture = false;
    rig.spy.failSynchronize = failSynchronize;
    rig.spy.failLaunch = failLaunch;
    rig.run(1, 31);
}

void runUnderMemoryLimit() {
    const rlimit limit{512u << 20, 512u << 20};
    ::setrlimit(RLIMIT_AS, &limit);
    Rig rig(127, 256, 1 << 30, {3});
    rig.capture = false;
    rig.run(1, 31);
}

TEST(RunSieveDeathTest, BatchThatFailsTwiceOrASieveTooLargeEndsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(runWithFailures(2, 0), ::testing::ExitedWithCode(255),
                "CUDA Runtime API error 999: spy device lost\\.");
    EXPECT_EXIT(runWithFailures(0, 2), ::testing::ExitedWithCode(255),
                "CUDA Runtime API error 998: spy launch refused\\.");
    // An address-space limit would starve the sanitizer itself.
    if (!testing::kAddressSanitizer) {
        EXPECT_EXIT(runUnderMemoryLimit(), ::testing::ExitedWithCode(1),
                    "\nThere is not enough memory to allocate a table for the sieve: ");
    }
}

}  // namespace
}  // namespace kalvenor
