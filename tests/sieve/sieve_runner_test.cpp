// One exponent's walk, on a spy device: every survivor sent once and in
// order, checkpoints that resume right after the last batch, factors
// reported once, failed batches run again.
#include "sieve/sieve_runner.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "sieve/factor_report.h"
#include "sieve/small_primes.h"
#include "spy_runtime.h"
#include "strike_oracle.h"
#include "support/test_support.h"

namespace kalvenor {
namespace {

using testing::countOf;
using testing::survivors;

constexpr uint64_t kTop = UINT64_MAX;
constexpr int kKernelIndex = 7;

// What the walk's beforeMessage hook writes: every factor is announced after it.
const std::string kMadeWay = "<status line erased>";

// A sieve run against the spy device, with a fake clock that the device
// moves forward by `secondsPerLaunch` and a checkpoint hook that records.
struct Rig {
    testing::ScratchDir dir;  // where reported factors are logged
    testing::SpyRuntime spy;
    std::vector<TransferBuffers> slots;
    ThreadPool workers{3};
    SieveSettings settings;
    std::vector<uint32_t> primes;
    std::unique_ptr<DeviceSieve> deviceSieve;  // when the device sieves
    RunState state;
    int64_t now = 1000;
    int64_t secondsPerLaunch = 0;
    std::size_t stopAfterLaunches = SIZE_MAX;  // a stop is asked for once this many batches went out
    struct Checkpoint {
        uint64_t k, kTested;
        int32_t factors;
        std::size_t found;  // factors kept for the line's record
    };
    std::vector<Checkpoint> checkpoints;
    std::function<bool(bool)> checkpointDue;  // a client's schedule, or the minute
    std::vector<uint64_t> landed;             // the walk positions batchLanded was told
    std::string out, err;
    SieveStatus status = SieveStatus::Done;

    // A ring of `ring` slots; `onDevice`: the device sieves, `threads` survivors a batch.
    Rig(uint32_t n, uint32_t threads, uint32_t range, std::vector<uint32_t> table, uint32_t ring = 2, bool onDevice = false)
        : slots(ring), settings{kKernelIndex, threads, range}, primes(std::move(table)) {
        const uint32_t capacity = std::max(threads, 1u);
        if (onDevice)
            deviceSieve = std::make_unique<DeviceSieve>(spy, primes, ring, deviceSegmentLength(survivingShare(primes), capacity), capacity);
        for (TransferBuffers& b : slots) EXPECT_EQ(0, allocateTransferBuffers(spy, b, std::max(threads, 1u)));
        state.nCurrent = n;
        spy.onLaunch = [this] { now += secondsPerLaunch; };
    }
    ~Rig() {
        for (TransferBuffers& b : slots) releaseTransferBuffers(spy, b);
    }

    void run(uint64_t first, uint64_t last) {
        const SieveContext context{spy, slots, workers, settings, primes, deviceSieve.get()};
        // The spy's factors are the walk's: the host's test agrees with it.
        const SieveHooks hooks{[this] { return now; },
                               [this](RunState& s, uint64_t k) { checkpoints.push_back({k, s.kTested, s.factors, s.found.size()}); },
                               [this] { return spy.launches.size() >= stopAfterLaunches ? SIGTERM : 0; }, checkpointDue,
                               [this](const RunState&, uint64_t k) { landed.push_back(k); },
                               [this](uint64_t k, uint32_t) { return spy.passing.count(k) > 0; },
                               [] { std::fputs(kMadeWay.c_str(), stdout); }};
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        status = runSieve(first, last, state, context, hooks);
        err = ::testing::internal::GetCapturedStderr();
        out = ::testing::internal::GetCapturedStdout();
    }

    // Runs first..last and checks what every walk owes: each survivor tested
    // once (in order, unless the device finishes out of step) and counted,
    // every launch shaped by the settings and on a cleared result buffer,
    // and every checkpoint at an odd k no further than the end, with the
    // count of everything before it and nothing after.
    void expectWalk(uint64_t first, uint64_t last) {
        const uint64_t testedBefore = state.kTested;
        run(first, last);
        ASSERT_EQ(status, SieveStatus::Done) << err;
        const std::vector<uint64_t> expected = survivors(first, last, state.nCurrent, primes);
        std::vector<uint64_t> sent = spy.sent();
        // Batches run again in parts or finished out of step are tested out of walk order.
        if (spy.late || deviceSieve) std::sort(sent.begin(), sent.end());
        ASSERT_EQ(sent, expected);
        EXPECT_EQ(state.kTested, testedBefore + expected.size());
        EXPECT_EQ(spy.unclearedLaunches, 0);
        const std::vector<std::size_t> copies = spy.batchCopyBytes();
        EXPECT_EQ(copies.size(), deviceSieve ? 0 : spy.launches.size());
        for (std::size_t i = 0; i < spy.launches.size(); ++i) {
            const testing::SpyRuntime::Launch& l = spy.launches[i];
            EXPECT_EQ(std::tuple(l.kernelIndex, l.blocks * 256, l.threadsPerBlock, l.n),
                      std::tuple(kKernelIndex, (settings.batchCapacity + 255) / 256 * 256, 256u, state.nCurrent));
            EXPECT_LE(l.count, settings.batchCapacity);
            EXPECT_TRUE(spy.late || deviceSieve || copies[i] == l.count * sizeof(uint64_t));
        }
        // Progress is told after every batch, never going back, and ends at the end.
        EXPECT_TRUE(std::is_sorted(landed.begin(), landed.end()));
        EXPECT_TRUE(landed.empty() || (landed.back() == last && landed.size() <= spy.launches.size()));
        EXPECT_EQ(landed.empty(), expected.empty() && spy.launches.empty());
        for (const Checkpoint& cp : checkpoints) {
            EXPECT_TRUE(cp.k <= last && cp.k % 2 == 1) << cp.k;
            EXPECT_EQ(cp.kTested, testedBefore + survivors(first, cp.k - 2, state.nCurrent, primes).size()) << cp.k;
        }
    }
};

TEST(RunSieve, WalksSendEverySurvivorOnceInOrder) {
    // Walks to the top of 64 bits, where one step too far wraps around.
    struct TopCase {
        uint64_t first, last;
        uint32_t threads, range;
    };
    const TopCase tops[] = {
        {kTop, kTop, 4, 7},         {kTop - 2, kTop, 1, 1},          {kTop - 2 * 40, kTop, 5, 7},
        {kTop - 2 * 3, kTop, 100, 1000}, {kTop - 2 * 99, kTop, 3, 9}, {kTop - 2 * 20, kTop - 1, 4, 6},
    };
    for (const bool onDevice : {false, true})
    for (const TopCase& c : tops) {
        SCOPED_TRACE(::testing::Message() << "from top-" << (kTop - c.first) << " to top-" << (kTop - c.last) << (onDevice ? " device sieve" : ""));
        Rig rig(33, c.threads, c.range, {3, 5, 7, 11, 13}, 2, onDevice);
        rig.secondsPerLaunch = 100;  // a checkpoint would be due after every batch
        ASSERT_NO_FATAL_FAILURE(rig.expectWalk(c.first, c.last));
    }
    std::mt19937_64 random(20240607);
    for (int trial = 0; trial < 200; ++trial) {
        const uint32_t n = 32 + static_cast<uint32_t>(random() % 576);
        const uint32_t primeCount = std::vector<uint32_t>{0, 1, 4, 10, 11, 30, 100}[random() % 7];
        const uint32_t threads = 1 + static_cast<uint32_t>(random() % 200);
        const uint32_t range = 1 + static_cast<uint32_t>(random() % 300);
        const uint64_t odds = random() % 1500;
        const uint64_t first = std::vector<uint64_t>{1 + 2 * (random() % 5000), random() | 1, kTop - 2 * (random() % 3000)}[random() % 3];
        uint64_t last = kTop - first < 2 * odds ? kTop : first + 2 * odds + random() % 2;
        if (random() % 20 == 0 && first > 2) last = first - 2;  // nothing to do
        const uint32_t ring = 1 + static_cast<uint32_t>(random() % 3);
        const bool onDevice = random() % 2 == 0, late = random() % 2 == 0;
        SCOPED_TRACE(::testing::Message() << "trial " << trial << ": n " << n << " primes " << primeCount << " threads "
                                          << threads << " range " << range << " k " << first << ".." << last << " ring "
                                          << ring << (onDevice ? " device sieve" : "") << (late ? " late" : ""));
        Rig rig(n, threads, range, *buildSmallPrimes(primeCount), ring, onDevice);
        rig.spy.late = late;
        rig.secondsPerLaunch = 61 * (random() % 2);
        // Two of the survivors pass; they are reported in walk order whatever order the device finishes in.
        const std::vector<uint64_t> all = survivors(first, last, n, rig.primes);
        for (int i = 0; i < 2 && !all.empty(); ++i) rig.spy.passing.insert(all[random() % all.size()]);
        rig.state.kTested = 17;  // carried over from a checkpoint
        ASSERT_NO_FATAL_FAILURE(rig.expectWalk(first, last));
        std::string banners;
        for (uint64_t k : rig.spy.passing) banners += kMadeWay + factorBanner(k, n) + fermatNumberLine(k, n);
        EXPECT_EQ(rig.out, banners);
    }
}

// A checkpoint names the first multiplier not yet tested and carries the
// counts of everything before it, so a restart from it neither repeats nor
// skips a batch, and no factor found before it can be lost. Each factor is
// reported once, and the device's result buffer is cleared after a launch
// that reported.
TEST(RunSieve, CheckpointsResumeRightAfterTheBatchAndFactorsAreReportedOnce) {
    constexpr uint64_t base = (1ull << 40) + 1;
    struct WalkCase {
        const char* what;
        uint32_t n, threads, range;
        std::vector<uint32_t> primes;
        int64_t secondsPerLaunch;
        uint64_t first, last;
        std::set<uint64_t> passing;
        std::size_t launches;
        std::vector<uint64_t> positions, reported;
        std::vector<uint64_t> firstBatch = {};
        bool onDevice = false;  // the device sieves: segments of 0.9 * threads without primes
        std::function<bool(bool)> due = {};
    };
    // With no table primes and one multiplier per batch, batch i takes 1+2i;
    // 61 s per batch makes a checkpoint due after every batch but the last.
    const WalkCase cases[] = {
        // Survivors of {3,5,7}, n=32, from 3: 3 7 13 15 | 21 25 27 31 | 37 43 45 51 | ...
        {"full batches resume after the last multiplier taken", 32, 4, 20, {3, 5, 7}, 61, 3, 61, {}, 4, {17, 33, 53}, {}, {3, 7, 13, 15}},
        // Ten odd multipliers per segment and room for 100: every batch ends
        // with its segment, so the walk moves 20 at a time.
        {"a segment that runs out leaves a partial batch", 32, 100, 10, {3, 5, 7}, 61, 3, 81, {}, 4, {23, 43, 63}, {}},
        {"no time passes", 40, 1, 100, {}, 0, 1, 9, {}, 5, {}, {}},
        {"62 s at the 2nd and at the 4th batch", 40, 1, 100, {}, 31, 1, 9, {}, 5, {5, 9}, {}},
        {"exactly 60 s at the 2nd batch is not enough; 90 s at the 3rd", 40, 1, 100, {}, 30, 1, 9, {}, 5, {7}, {}},
        // k=3 is reported before the checkpoint moves past it, so a kill in
        // between cannot lose it.
        {"factor of the batch before the checkpoint", 40, 1, 100, {}, 61, 1, 5, {3}, 3, {3, 5}, {3}},
        {"every record of a launch", 300, 64, 64, {}, 0, base, base + 300, {base + 4, base + 100}, 3, {}, {base + 4, base + 100}},
        {"factors in separate launches, 21 and 23 sharing one", 127, 8, 8, {}, 0, 1, 99, {5, 21, 23, 99}, 7, {}, {5, 21, 23, 99}},
        // Five factors and three records: the host tests the batch again.
        {"a launch counting more than three is tested again on the host", 127, 64, 64, {}, 0, 1, 41, {3, 5, 7, 9, 11}, 1, {}, {3, 5, 7, 9, 11}},
        {"... with the multipliers read back from the device sieve", 127, 64, 64, {}, 0, 1, 41, {3, 5, 7, 9, 11}, 1, {}, {3, 5, 7, 9, 11}, {}, true},
        {"nothing to do", 32, 16, 16, {3, 5, 7}, 61, 11, 9, {}, 0, {}, {}},
        // A client that schedules checkpoints decides, whatever the minute says.
        {"a client asks after every batch", 40, 1, 100, {}, 0, 1, 9, {3}, 5, {3, 5, 7, 9}, {3}, {}, false, [](bool) { return true; }},
        {"a client never asks", 40, 1, 100, {}, 61, 1, 9, {}, 5, {}, {}, {}, false, [](bool) { return false; }},
    };
    for (const bool late : {false, true})
    for (const WalkCase& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.what << (late ? ", completed late" : ""));
        Rig rig(c.n, c.threads, c.range, c.primes, 1, c.onDevice);
        rig.spy.late = late;
        rig.secondsPerLaunch = c.secondsPerLaunch;
        rig.spy.passing = c.passing;
        rig.state.factors = 3;  // carried over from a checkpoint
        rig.checkpointDue = c.due;
        ASSERT_NO_FATAL_FAILURE(rig.expectWalk(c.first, c.last));
        ASSERT_EQ(rig.spy.launches.size(), c.launches);
        EXPECT_TRUE(c.firstBatch.empty() || rig.spy.launches[0].batch == c.firstBatch);
        std::vector<uint64_t> positions;
        for (const Rig::Checkpoint& cp : rig.checkpoints) {
            positions.push_back(cp.k);
            EXPECT_EQ(cp.kTested, survivors(c.first, cp.k - 2, c.n, c.primes).size()) << cp.k;
            const auto before = std::count_if(c.reported.begin(), c.reported.end(), [&](uint64_t k) { return k < cp.k; });
            EXPECT_EQ(cp.factors, 3 + before);
            EXPECT_EQ(cp.found, static_cast<std::size_t>(before));
        }
        EXPECT_EQ(positions, c.positions);
        std::string banners;
        const std::string log = testing::readFile(rig.dir / "factors.txt");
        for (uint64_t k : c.reported) {
            banners += kMadeWay + factorBanner(k, c.n) + fermatNumberLine(k, c.n);
            EXPECT_EQ(countOf(log, factorMessage(k, c.n)), 1) << k;
        }
        EXPECT_EQ(rig.out, banners);
        EXPECT_EQ(countOf(log, "\n"), 2 * static_cast<int>(c.reported.size()));
        EXPECT_EQ(rig.state.factors, 3 + static_cast<int32_t>(c.reported.size()));
        std::vector<FoundFactor> found;
        for (uint64_t k : c.reported) found.push_back({c.n, k});
        EXPECT_EQ(rig.state.found, found);
        EXPECT_EQ(rig.err, "");
    }
}

// A batch whose run failed once is run again and counted once; one that
// fails twice is given up with the runtime's message, and so is a segment
// that does not fit in memory.
TEST(RunSieve, FailedBatchIsRunAgainOnceThenGivenUp) {
    struct RetryCase {
        const char* what;
        int failSynchronize, failLaunch;
        SieveStatus status;
        const char* err;
        int syncMessages;
        std::size_t launches;  // the failed run reaches the device only when the launch went out
    };
    const RetryCase cases[] = {
        {"synchronisation fails once", 1, 0, SieveStatus::Done, "", 1, 3},
        {"launch refused once", 0, 1, SieveStatus::Done, "", 0, 2},
        {"synchronisation fails twice", 2, 0, SieveStatus::DeviceFailed, "CUDA Runtime API error 999: spy device lost.\n", 2, 2},
        {"launch refused twice", 0, 2, SieveStatus::DeviceFailed, "CUDA Runtime API error 998: spy launch refused.\n", 0, 0},
    };
    for (const RetryCase& c : cases) {
        SCOPED_TRACE(c.what);
        Rig rig(127, 8, 8, {}, 1);
        rig.spy.passing = {5};
        rig.spy.failSynchronize = c.failSynchronize;
        rig.spy.failLaunch = c.failLaunch;
        rig.run(1, 31);
        EXPECT_EQ(rig.status, c.status);
        EXPECT_TRUE(rig.err.ends_with(c.err)) << rig.err;
        EXPECT_EQ(countOf(rig.out, "\nERROR: waiting for the host device failed!\n"), c.syncMessages);
        ASSERT_EQ(rig.spy.launches.size(), c.launches);
        for (std::size_t i = 0; i + 1 < c.launches; ++i)  // the rerun sends the same batch
            EXPECT_EQ(rig.spy.launches[i].batch, (std::vector<uint64_t>{1, 3, 5, 7, 9, 11, 13, 15}));
        if (c.status != SieveStatus::Done) continue;
        EXPECT_EQ(countOf(rig.out, factorMessage(5, 127)), 1) << rig.out;
        EXPECT_EQ(rig.state.factors, 1);
        EXPECT_EQ(rig.state.kTested, 16u);
    }
    // A stop asked for during the 2nd batch: that batch is finished and
    // counted, its factor reported, and the checkpoint names the next one.
    Rig rig(127, 8, 8, {});
    rig.spy.passing = {21};
    rig.stopAfterLaunches = 2;
    rig.run(1, 99);
    EXPECT_EQ(rig.status, SieveStatus::Stopped);
    EXPECT_EQ(rig.spy.launches.size(), 2u);
    ASSERT_EQ(rig.checkpoints.size(), 1u);
    EXPECT_EQ(std::tuple(rig.checkpoints[0].k, rig.checkpoints[0].kTested, rig.checkpoints[0].factors, rig.state.kCurrent),
              std::tuple(33ull, 16ull, 1, 33ull));

    if (testing::kAddressSanitizer) return;  // an address-space limit would starve the sanitizer itself
    const testing::ProcessResult child = testing::runChild({.body = [] {
        const rlimit limit{512u << 20, 512u << 20};
        ::setrlimit(RLIMIT_AS, &limit);
        Rig rig(127, 256, 1u << 30, {3});
        rig.run(1, 31);
        std::fputs(rig.err.c_str(), stderr);
        return rig.status == SieveStatus::NoMemory ? 0 : 1;
    }});
    EXPECT_EQ(child.exitCode, 0);
    EXPECT_EQ(child.err, "\nThere is not enough memory to allocate a table for the sieve: Cannot allocate memory\n");
}

// When the device counted more factors than it had records for, the batch is
// tested again on the host, which may find more than three, or fewer than
// the device counted (the caller holds that against the device).
TEST(FactorsOfLaunch, RetestsABatchWhoseRecordsDidNotSuffice) {
    const uint32_t records[10] = {3, 0xFFFFFFFFu, 0, 0, 0, 1, 0, 77, 0, 0};
    EXPECT_EQ(factorsOfLaunch(records, nullptr, 0, 127), (std::vector<uint64_t>{0xFFFFFFFFull, 1ull << 32, 77}));
    const uint32_t five[10] = {5, 5, 0, 0, 5, 0, 0, 5, 0, 0};
    const std::vector<uint64_t> batch = {3, 5, 7, 5, 5, 9, 11, 5, 13, 5, 15};  // 5*2^127+1 divides F125
    EXPECT_EQ(factorsOfLaunch(five, batch.data(), 11, 127), std::vector<uint64_t>(5, 5));
    EXPECT_EQ(factorsOfLaunch(five, batch.data(), 3, 127), std::vector<uint64_t>{5});
}

}  // namespace
}  // namespace kalvenor
