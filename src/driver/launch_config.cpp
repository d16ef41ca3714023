#include "driver/launch_config.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>

#include "arith/coverage.h"
#include "kernels/kernel_choice.h"
#include "kernels/kernel_table.h"
#include "kernels/launch_limits.h"
#include "sieve/segment_sieve.h"

namespace kalvenor {

namespace {

constexpr uint32_t kFullGrid = 1u << 20;
constexpr uint32_t kNoLimit = UINT32_MAX;
// The GPU sieve stops at primes of about 10^9 (50 million of them): the
// tables are then 200 MB on each side and built in seconds.
constexpr double kMostDevicePrime = 1e9;

// One step of a threads-per-grid row: word counts up to maxWordCount get threads.
struct ThreadStep {
    uint32_t maxWordCount;
    uint32_t threads;
};

struct ThreadRow {
    int major;
    int mpLow, mpHigh;  // inclusive multiprocessor range
    std::array<ThreadStep, 5> steps;  // ends with a kNoLimit step
};

// Small devices fall behind on wide candidates, so they get fewer threads
// per launch; every combination not listed runs full grids.
constexpr std::array<ThreadRow, 16> kThreadRows{{
    {2, 1, 1, {{{8, 1u << 20}, {11, 1u << 19}, {14, 1u << 18}, {17, 1u << 17}, {kNoLimit, 1u << 16}}}},
    {2, 2, 2, {{{10, 1u << 20}, {13, 1u << 19}, {17, 1u << 18}, {kNoLimit, 1u << 17}}}},
    {2, 3, 3, {{{13, 1u << 20}, {17, 1u << 19}, {kNoLimit, 1u << 18}}}},
    {2, 4, 4, {{{15, 1u << 20}, {17, 1u << 19}, {kNoLimit, 1u << 18}}}},
    {2, 6, 6, {{{17, 1u << 20}, {19, 1u << 19}, {kNoLimit, 1u << 18}}}},
    {2, 7, 7, {{{19, 1u << 20}, {kNoLimit, 1u << 19}}}},
    {3, 1, 1, {{{10, 1u << 20}, {13, 1u << 19}, {17, 1u << 18}, {kNoLimit, 1u << 17}}}},
    {3, 2, 2, {{{13, 1u << 20}, {17, 1u << 19}, {kNoLimit, 1u << 18}}}},
    {3, 3, 3, {{{16, 1u << 20}, {19, 1u << 19}, {kNoLimit, 1u << 18}}}},
    {3, 4, 4, {{{19, 1u << 20}, {kNoLimit, 1u << 19}}}},
    {5, 2, 3, {{{11, 1u << 20}, {13, 1u << 19}, {17, 1u << 18}, {kNoLimit, 1u << 17}}}},
    {5, 4, 4, {{{13, 1u << 20}, {17, 1u << 19}, {kNoLimit, 1u << 18}}}},
    {5, 5, 5, {{{16, 1u << 20}, {19, 1u << 19}, {kNoLimit, 1u << 18}}}},
    {5, 6, 6, {{{19, 1u << 20}, {kNoLimit, 1u << 19}}}},
    {6, 3, 3, {{{16, 1u << 20}, {kNoLimit, 1u << 19}}}},
    {6, 5, 5, {{{19, 1u << 20}, {kNoLimit, 1u << 19}}}},
}};

constexpr uint32_t kMinWordCount = kMinWords;
constexpr uint32_t kMaxWordCount = kMaxWords;
constexpr std::size_t kWordCounts = kMaxWordCount - kMinWordCount + 1;

// Rows: device class 0, 1, 2; columns: word count 3..21. Slow devices can
// afford a deeper host sieve because each candidate costs them more.
constexpr std::array<std::array<uint32_t, kWordCounts>, 3> kPrimeCounts{{
    {100, 5000, 50000, 50000, 200000, 200000, 200000, 500000, 500000, 500000, 1000000, 1000000,
     1000000, 1000000, 1000000, 1000000, 1000000, 1000000, 1000000},
    {20, 100, 500, 20000, 20000, 100000, 200000, 200000, 200000, 500000, 500000, 500000, 500000,
     500000, 500000, 500000, 500000, 500000, 500000},
    {4, 4, 50, 100, 1000, 5000, 20000, 50000, 200000, 200000, 200000, 200000, 200000, 500000,
     500000, 500000, 500000, 500000, 500000},
}};

// The host-emulated device, by word count 3..21: the depth where one more
// nanosecond of sieving per multiplier stops saving its worth of tests, as
// measured (docs/launch-tuning.md).
constexpr std::array<HostLaunchRow, kWordCounts> kHostRows{{
    {1u << 18, 200000},  {1u << 18, 200000},  {1u << 18, 200000},  {1u << 18, 1000000},
    {1u << 18, 3000000}, {1u << 18, 3000000}, {1u << 18, 3000000}, {1u << 18, 3000000},
    {1u << 18, 3000000}, {1u << 18, 3000000}, {1u << 18, 3000000}, {1u << 18, 3000000},
    {1u << 18, 3000000}, {1u << 18, 3000000}, {1u << 18, 3000000}, {1u << 18, 3000000},
    {1u << 18, 3000000}, {1u << 18, 3000000}, {1u << 18, 3000000},
}};

// Two kernels sieve better with their own depth than the table gives.
struct KernelOverride {
    const char* name;
    uint32_t primeCount;
    uint32_t fullGridRange;  // sieve range at 1,048,576 threads
};
constexpr std::array<KernelOverride, 2> kOverrides{{
    {"kalvenor384bit_n288_319", 800000, 15300000},
    {"kalvenor448bit_n352_383", 1000000, 15480000},
}};

bool inList(int value, std::initializer_list<int> list) {
    for (int v : list)
        if (v == value) return true;
    return false;
}

}  // namespace

int32_t deviceClassOf(int major, int mp) {
    if (mp <= 0) return 2;
    switch (major) {
        case 2:
            if (mp <= 3) return 0;
            return inList(mp, {4, 6, 7}) ? 1 : 2;
        case 3:
            if (mp <= 2) return 0;
            return mp <= 4 ? 1 : 2;
        case 5:
            if (inList(mp, {2, 3})) return 0;
            return inList(mp, {4, 5, 6}) ? 1 : 2;
        case 6:
            return inList(mp, {3, 5, 6}) ? 1 : 2;
        default:
            return 2;
    }
}

uint32_t threadsPerGridFor(int major, int mp, uint32_t wordCount) {
    for (const ThreadRow& row : kThreadRows) {
        if (row.major != major || mp < row.mpLow || mp > row.mpHigh) continue;
        for (const ThreadStep& step : row.steps)
            if (wordCount <= step.maxWordCount) return step.threads;
    }
    return kFullGrid;
}

uint32_t primeCountFor(int32_t deviceClass, uint32_t wordCount) {
    if (deviceClass < 0 || deviceClass > 2) return 0;
    if (wordCount < kMinWordCount || wordCount > kMaxWordCount) return 0;
    return kPrimeCounts[static_cast<std::size_t>(deviceClass)][wordCount - kMinWordCount];
}

HostLaunchRow hostLaunchRowFor(uint32_t wordCount) {
    if (wordCount < kMinWordCount || wordCount > kMaxWordCount) return {0, 0};
    return kHostRows[wordCount - kMinWordCount];
}

DeviceSieveShape deviceSieveShape(const DeviceInfo& device, uint32_t q, uint32_t w, uint32_t n) {
    // Costs in clock cycles of one multiprocessor, all of them estimates
    // until a GPU measures them: a test issues about 2.5 instructions per
    // multiply-add of the ideal count, 64 a cycle; a strike of a large prime
    // is one scattered byte store, about 1.5 cycles of L2 bandwidth; a
    // prime's first hit in a segment (a 64-bit remainder) about a cycle.
    const double multiplyAdds = multiplyAddsPerSquaring(KernelEntry{"", q, w});
    const double test = n * 2.5 * multiplyAdds / 64.0;
    constexpr double kStrike = 1.5, kFirstHit = 1.0;
    const double cyclesPerSecond = std::max(device.multiProcessorCount, 1) * std::max(device.clockRate, 1) * 1e3;
    DeviceSieveShape shape;
    shape.batch = static_cast<uint32_t>(std::clamp(2e-3 * cyclesPerSecond / test, double{kFullGrid}, double{kMostSievedBatch}));
    shape.batch = (shape.batch + kThreadsPerBlock - 1) / kThreadsPerBlock * kThreadsPerBlock;
    // One more prime p removes a share 1/p of the survivors, about
    // 1.12/ln p of all multipliers: it pays while 1.12/ln p * test > strike,
    // and while a segment of batch/share multipliers gives it more strikes
    // than its first hit costs.
    const double byStrikes = 1.12 * test / kStrike;
    const double bySegment = std::log(0.45 * shape.batch * test / kFirstHit);
    const double logBound = std::clamp(std::min(byStrikes, bySegment), std::log(1e4), std::log(kMostDevicePrime));
    const double bound = std::exp(logBound);
    shape.primeCount = static_cast<uint32_t>(bound / (logBound - 1.1));  // the count of primes below it
    return shape;
}

LaunchPlan planLaunch(const DeviceInfo& device, RuntimeKind kind, uint32_t nCurrent,
                      uint64_t kCurrent, const SieveRequest& sieve) {
    LaunchPlan plan;
    LaunchConfig& c = plan.config;
    c.wordCount = wordCountOf(nCurrent, kCurrent);
    // The choice comes first here because the tables have no column for a
    // word count that no kernel serves.
    const KernelChoice choice = chooseKernel(nCurrent, c.wordCount);
    if (choice.index < 0) {
        plan.refusal = choice.message;
        return plan;
    }
    c.launchEntry = choice.index;
    c.kernelName = kKernels[static_cast<std::size_t>(choice.index)].name;
    c.deviceClass = deviceClassOf(device.major, device.multiProcessorCount);
    if (kind == RuntimeKind::Host) {
        const HostLaunchRow row = hostLaunchRowFor(c.wordCount);
        c.threadsPerGrid = row.threadsPerGrid;
        c.primeCount = row.primeCount;
    } else {
        c.threadsPerGrid = threadsPerGridFor(device.major, device.multiProcessorCount, c.wordCount);
        c.primeCount = primeCountFor(c.deviceClass, c.wordCount);
    }
    c.sieveRange = sieveRangeFor(c.primeCount, c.threadsPerGrid);
    if (kind != RuntimeKind::Host) {
        for (const KernelOverride& o : kOverrides) {
            if (c.kernelName != o.name) continue;
            c.primeCount = o.primeCount;
            c.sieveRange = static_cast<int32_t>(o.fullGridRange / (kFullGrid / c.threadsPerGrid));
        }
    }
    c.deviceSieve = sieve.onDevice;
    if (c.deviceSieve && kind != RuntimeKind::Host) {
        const KernelEntry& kernel = kKernels[static_cast<std::size_t>(c.launchEntry)];
        const DeviceSieveShape shape = deviceSieveShape(device, kernel.q, kernel.w, nCurrent);
        c.threadsPerGrid = shape.batch;
        c.primeCount = shape.primeCount;
    }
    if (sieve.primeCount >= 0) {
        c.primeCount = static_cast<uint32_t>(sieve.primeCount);
        if (!c.deviceSieve) c.sieveRange = sieveRangeFor(c.primeCount, c.threadsPerGrid);
    }
    c.blocksPerGrid = (c.threadsPerGrid + 255) >> 8;
    return plan;
}

uint32_t ringSlotsFor(RuntimeKind kind) { return kind == RuntimeKind::Cuda ? 3 : 2; }

std::string runtimeOptionsText(const LaunchConfig& c) {
    char text[256];
    std::snprintf(text, sizeof text,
                  "\nRuntime options\n"
                  "  GPU kernel                %s\n"
                  "  threads per grid          %d\n"
                  "  prime count               %d\n"
                  "  sieve range               %d\n"
                  "  sieve on                  %s\n",
                  c.kernelName.c_str(), static_cast<int>(c.threadsPerGrid),
                  static_cast<int>(c.primeCount), static_cast<int>(c.sieveRange), c.deviceSieve ? "GPU" : "host");
    return text;
}

}  // namespace kalvenor
