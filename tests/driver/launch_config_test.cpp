// The launch configuration: the rules that tie the tables together, and a
// few corners of each table that a mistyped row would move.
#include "driver/launch_config.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "arith/coverage.h"
#include "device/gpu_profiles.h"
#include "kernels/kernel_table.h"
#include "kernels/launch_limits.h"
#include "kernels/sieve_kernel.h"
#include "sieve/device_sieve.h"
#include "sieve/segment_sieve.h"
#include "sieve/small_primes.h"
#include "support/coverage_oracle.h"

namespace kalvenor {
namespace {

DeviceInfo device(int major, int mp) { return DeviceInfo{"test device", major, 0, mp, 0}; }

// Every exponent at each multiplier size, on the GPU classes and the host:
// the plan follows the kernel choice, the tables and the overrides.
TEST(LaunchConfig, PlansFollowTheTables) {
    for (const auto& [major, mp] : {std::pair{2, 1}, {3, 3}, {6, 5}, {8, 80}, {0, 16}}) {
        const RuntimeKind kind = major == 0 ? RuntimeKind::Host : RuntimeKind::Cuda;
        for (uint32_t n = 32; n <= 607; n += 5) {
            for (uint32_t b = 0; b < 64; b += 3) {
                const uint64_t k = uint64_t{1} << b;
                const LaunchPlan plan = planLaunch(device(major, mp), kind, n, k);
                const LaunchConfig& c = plan.config;
                ASSERT_EQ(plan.refusal == nullptr, testing::kernelFor(k, n).has_value()) << n << " " << k;
                if (plan.refusal) continue;
                EXPECT_EQ(c.kernelName, kKernels[c.launchEntry].name);
                EXPECT_EQ(c.blocksPerGrid * 256, c.threadsPerGrid);
                const bool overridden = kind == RuntimeKind::Cuda && (c.kernelName == "kalvenor384bit_n288_319" ||
                                                                      c.kernelName == "kalvenor448bit_n352_383");
                if (kind == RuntimeKind::Host) {
                    EXPECT_EQ(c.threadsPerGrid, hostLaunchRowFor(c.wordCount).threadsPerGrid);
                    EXPECT_EQ(c.primeCount, hostLaunchRowFor(c.wordCount).primeCount);
                } else {
                    EXPECT_EQ(c.threadsPerGrid, threadsPerGridFor(major, mp, c.wordCount));
                    if (!overridden) {
                        EXPECT_EQ(c.primeCount, primeCountFor(deviceClassOf(major, mp), c.wordCount));
                    }
                }
                if (!overridden) {
                    EXPECT_EQ(c.sieveRange, sieveRangeFor(c.primeCount, c.threadsPerGrid));
                }
            }
        }
    }
    // The two kernels the GPU tables override, on a full and a quarter grid.
    const LaunchConfig a = planLaunch(device(6, 20), RuntimeKind::Cuda, 300, 1ull << 60).config;
    EXPECT_EQ(std::tuple(a.primeCount, a.sieveRange), std::tuple(800000u, 15300000));
    const LaunchConfig b = planLaunch(device(2, 1), RuntimeKind::Cuda, 360, 1ull << 62).config;
    EXPECT_EQ(std::tuple(b.threadsPerGrid, b.primeCount, b.sieveRange), std::tuple(262144u, 1000000u, 3870000));
    EXPECT_STREQ(planLaunch(device(6, 20), RuntimeKind::Cuda, 32, 3).refusal, "No kernel for that bit level\n");
}

// The GPU sieve's batch holds about 2 ms of tests and its depth grows with
// the cost of a test; the command line's depth overrides either sieve's.
TEST(LaunchConfig, DeviceSieveIsShapedByTheCostOfATest) {
    const DeviceInfo h100{"H100", 9, 0, 132, 1980000};
    DeviceSieveShape last{UINT32_MAX, 0};
    for (int index = 0; index < kKernelCount; index += 2) {  // the lower levels: tests grow dearer
        const KernelEntry& kernel = kKernels[index];
        const DeviceSieveShape shape = deviceSieveShape(h100, kernel.q, kernel.w, 32 * kernel.q + 16);
        SCOPED_TRACE(kernel.name);
        EXPECT_EQ(shape.batch % 256, 0u);
        EXPECT_TRUE(shape.batch >= (1u << 20) && shape.batch <= (1u << 24)) << shape.batch;
        EXPECT_LE(shape.batch, last.batch);
        EXPECT_GE(shape.primeCount + shape.primeCount / 1000, last.primeCount);  // rounding the batch aside
        EXPECT_TRUE(shape.primeCount > 1000000 && shape.primeCount < 51000000) << shape.primeCount;  // below 10^9
        last = shape;
    }
    EXPECT_EQ(last.primeCount, deviceSieveShape(h100, 18, 20, 600).primeCount);  // the deepest already
    EXPECT_GT(deviceSieveShape(h100, 1, 3, 36).batch, 8u << 20);  // 2 ms of the cheapest tests

    const LaunchConfig gpu = planLaunch(h100, RuntimeKind::Cuda, 300, 1ull << 40, {true, -1}).config;
    const DeviceSieveShape shape = deviceSieveShape(h100, 9, 11, 300);
    EXPECT_EQ(std::tuple(gpu.deviceSieve, gpu.threadsPerGrid, gpu.blocksPerGrid * 256, gpu.primeCount),
              std::tuple(true, shape.batch, shape.batch, shape.primeCount));
    const LaunchConfig host = planLaunch(device(0, 16), RuntimeKind::Host, 300, 1ull << 40, {true, 777}).config;
    EXPECT_EQ(std::tuple(host.deviceSieve, host.threadsPerGrid, host.primeCount),
              std::tuple(true, hostLaunchRowFor(11).threadsPerGrid, 777u));
    const LaunchConfig deeper = planLaunch(h100, RuntimeKind::Cuda, 300, 1ull << 40, {false, 1234}).config;
    EXPECT_EQ(std::tuple(deeper.deviceSieve, deeper.primeCount, deeper.sieveRange),
              std::tuple(false, 1234u, sieveRangeFor(1234, deeper.threadsPerGrid)));
}

// Every launch the planner makes on each GPU the host device emulates, for
// every kernel at both ends of its reach, with either sieve at the depth it
// chooses and at a shallow one: the test kernel's grid and each phase of the
// GPU sieve (for a whole segment and for a last one of one multiplier) keep
// within CUDA's limits, every batch fits the buffers it goes through, and
// the ring's memory fits the GPU's.
TEST(LaunchConfig, EveryPlannedLaunchFitsOnEveryProfile) {
    struct Planned {
        std::string what;
        const GpuProfile* profile;
        LaunchConfig config;
    };
    std::vector<Planned> plans;
    for (const char* key : {"t4", "a100", "rtx4090", "h100", "b200"}) {
        const GpuProfile* profile = findGpuProfile(key);
        for (int index = 0; index < kKernelCount; ++index) {
            const KernelEntry& kernel = kKernels[index];
            for (uint32_t n : {32 * kernel.q, 32 * kernel.q + 31}) {
                const BitRange bits = servedBits(kernel.w, n);
                if (bits.empty()) continue;
                for (uint64_t k : {uint64_t{1} << bits.low, (uint64_t{2} << bits.high) - 1})
                    for (const SieveRequest sieve : {SieveRequest{false, -1}, SieveRequest{true, -1}, SieveRequest{true, 5000}}) {
                        const LaunchPlan plan = planLaunch(profile->device, RuntimeKind::Cuda, n, k, sieve);
                        ASSERT_EQ(plan.refusal, nullptr) << kernel.name << " n=" << n << " k=" << k;
                        plans.push_back({std::string(key) + " " + kernel.name + " n=" + std::to_string(n) + " k=" + std::to_string(k) +
                                             (sieve.onDevice ? " GPU sieve" : " host sieve") + " depth " +
                                             std::to_string(sieve.primeCount),
                                         profile, plan.config});
                    }
            }
        }
    }
    // One table of primes, as deep as the deepest plan; each plan takes its
    // first primeCount, and the share they leave is taken in one sweep.
    std::map<uint32_t, double> shares;
    for (const Planned& p : plans) shares[p.config.primeCount] = 0.0;
    const std::vector<uint32_t> primes = *buildSmallPrimes(shares.rbegin()->first);
    const uint32_t smallCount = static_cast<uint32_t>(std::lower_bound(primes.begin(), primes.end(), kSieveWindow) - primes.begin());
    uint32_t taken = 0;
    double share = 1.0;
    for (auto& [count, shareOfCount] : shares) {
        share *= survivingShare(std::span(primes).subspan(taken, count - taken));
        taken = count;
        shareOfCount = share;
    }
    const uint32_t ring = ringSlotsFor(RuntimeKind::Cuda);
    for (const Planned& p : plans) {
        SCOPED_TRACE(p.what);
        const LaunchConfig& c = p.config;
        EXPECT_TRUE(launchFits({c.blocksPerGrid, kThreadsPerBlock, 0}));
        EXPECT_EQ(c.blocksPerGrid * uint64_t{kThreadsPerBlock}, c.threadsPerGrid);
        uint64_t deviceBytes = ring * uint64_t{kBatchCapacity} * sizeof(uint64_t);  // the ring's transfer buffers
        if (!c.deviceSieve) {
            EXPECT_LE(c.threadsPerGrid, kBatchCapacity);
            EXPECT_GE(c.sieveRange, 1);
        } else {
            EXPECT_LE(c.threadsPerGrid, kMostSievedBatch);
            const uint32_t length = deviceSegmentLength(shares.at(c.primeCount), c.threadsPerGrid);
            EXPECT_LE(length, kMostSegmentLength);
            const uint32_t small = std::min(smallCount, c.primeCount);
            for (uint32_t segment : {length, 1u})
                for (const SievePhaseLaunch& phase : sieveLaunchesOf(c.primeCount, small, segment).phases)
                    EXPECT_TRUE(phase.blocks == 0 || launchFits({phase.blocks, kSieveThreads, phase.sharedBytes}))
                        << "phase " << static_cast<int>(phase.phase) << " of a segment of " << segment;
            deviceBytes += DeviceSieve::deviceBytes(c.primeCount, ring, length, c.threadsPerGrid);
        }
        EXPECT_LE(deviceBytes, p.profile->memoryBytes);
    }
}

// Wider candidates never get more threads or a shallower sieve; devices from
// Volta on, or with many multiprocessors, take full grids; and a few corners
// a mistyped row would move.
TEST(LaunchConfig, TablesHoldTheirShapeAndCorners) {
    for (int major : {1, 2, 3, 5, 6, 7, 8, 9}) {
        for (int mp : {-1, 0, 1, 2, 3, 4, 5, 6, 7, 8, 100}) {
            const int32_t deviceClass = deviceClassOf(major, mp);
            EXPECT_TRUE(deviceClass == 2 || (deviceClass >= 0 && mp > 0 && major < 7)) << major << " " << mp;
            for (uint32_t w = kMinWords; w < kMaxWords; ++w) {
                const uint32_t threads = threadsPerGridFor(major, mp, w + 1);
                EXPECT_TRUE(threads <= threadsPerGridFor(major, mp, w) && threads >= (1u << 16) && (threads & (threads - 1)) == 0);
                EXPECT_GE(primeCountFor(deviceClass, w + 1), primeCountFor(deviceClass, w));
                EXPECT_TRUE(threads == (1u << 20) || (major < 7 && mp <= 7)) << major << " " << mp;
            }
        }
    }
    EXPECT_EQ(std::tuple(threadsPerGridFor(2, 1, 8), threadsPerGridFor(2, 1, 9), threadsPerGridFor(2, 1, 18), threadsPerGridFor(6, 3, 17)),
              std::tuple(1u << 20, 1u << 19, 1u << 16, 1u << 19));
    EXPECT_EQ(std::tuple(deviceClassOf(2, 5), deviceClassOf(6, 3), primeCountFor(0, 3), primeCountFor(1, 8), primeCountFor(2, 20)),
              std::tuple(2, 1, 100u, 100000u, 500000u));
    EXPECT_EQ(primeCountFor(2, kMinWords - 1) + primeCountFor(3, 10) + hostLaunchRowFor(kMinWords - 1).threadsPerGrid, 0u);
    for (uint32_t w = kMinWords; w <= kMaxWords; ++w)
        EXPECT_TRUE(hostLaunchRowFor(w).threadsPerGrid >= 256 && (1u << 20) % hostLaunchRowFor(w).threadsPerGrid == 0);
}

// A segment leaves about one batch of survivors: its length scales with the
// batch, and the fit's corners stay where they were measured.
TEST(LaunchConfig, SieveRangeScalesWithTheBatch) {
    for (uint32_t primes : {0u, 9u, 20u, 5000u, 200000u, 1000000u, 3000000u})
        for (int shift = 1; shift <= 4; ++shift)
            EXPECT_EQ(sieveRangeFor(primes, (1u << 20) >> shift), sieveRangeFor(primes, 1u << 20) / (1 << shift)) << primes;
    EXPECT_EQ(sieveRangeFor(4, 1u << 20), 2523140);
    EXPECT_EQ(sieveRangeFor(100, 1u << 20), 5960000);
    EXPECT_EQ(sieveRangeFor(200000, 1u << 20), 13900000);
    EXPECT_EQ(sieveRangeFor(1000000, 1u << 20), 15510000);
    EXPECT_EQ(sieveRangeFor(1000000, 1u << 16), 969375);
}

}  // namespace
}  // namespace kalvenor
