#include "driver/launch_config.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace kalvenor {
namespace {

DeviceInfo device(int major, int mp) {
    DeviceInfo d;
    d.name = "test device";
    d.major = major;
    d.multiProcessorCount = mp;
    return d;
}

TEST(LaunchConfig, PlansTheListedCases) {
    struct PlanCase {
        const char* what;
        int major, mp;
        uint32_t n;
        uint64_t k;
        uint32_t wordCount;
        const char* kernel;
        uint32_t threads;
        int32_t deviceClass;
        uint32_t primeCount;
        int32_t sieveRange;
    };
    constexpr uint64_t two40p1 = (1ull << 40) + 1;
    const PlanCase cases[] = {
        {"class 2 big device, lower level", 6, 20, 300, two40p1, 11, "kalvenor352bit_n288_319", 1048576, 2, 200000, 13900000},
        {"override A on a full grid", 6, 20, 300, 1ull << 60, 12, "kalvenor384bit_n288_319", 1048576, 2, 800000, 15300000},
        {"override A on half a grid", 2, 2, 300, 1ull << 60, 12, "kalvenor384bit_n288_319", 524288, 0, 800000, 7650000},
        {"class 0, W=12 from the table", 2, 2, 330, 1ull << 30, 12, "kalvenor384bit_n320_351", 524288, 0, 500000, 7410000},
        {"one multiprocessor, W=20, t=16", 2, 1, 576, 1ull << 32, 20, "kalvenor640bit_n576_607", 65536, 0, 1000000, 969375},
        {"n=576 k=2^32 on a large device", 8, 80, 576, 1ull << 32, 20, "kalvenor640bit_n576_607", 1048576, 2, 500000, 14820000},
        {"override B on a quarter grid", 2, 1, 360, 1ull << 62, 14, "kalvenor448bit_n352_383", 262144, 0, 1000000, 3870000},
        {"override B full grid", 7, 1, 383, 1ull << 33, 14, "kalvenor448bit_n352_383", 1048576, 2, 1000000, 15480000},
        {"class 2, W=3: four primes", 7, 40, 32, (1ull << 32) + 1, 3, "kalvenor96bit_n32_63", 1048576, 2, 4, 2523140},
        {"class 2, W=4: four primes", 5, 1, 63, 1ull << 33, 4, "kalvenor128bit_n32_63", 1048576, 2, 4, 2523140},
        {"class 1, W=3", 6, 5, 63, 3, 3, "kalvenor96bit_n32_63", 1048576, 1, 20, 4210000},
        {"class 0 major 3, W=16 -> t=2", 3, 1, 450, 1ull << 40, 16, "kalvenor512bit_n448_479", 262144, 0, 1000000, 3877500},
        {"major 5 with 3 MPs, W=14", 5, 3, 400, 1ull << 30, 14, "kalvenor448bit_n384_415", 262144, 0, 1000000, 3877500},
    };
    for (const PlanCase& c : cases) {
        SCOPED_TRACE(c.what);
        const LaunchPlan plan = planLaunch(device(c.major, c.mp), RuntimeKind::Cuda, c.n, c.k);
        EXPECT_EQ(plan.config.wordCount, c.wordCount);
        ASSERT_EQ(plan.refusal, nullptr) << plan.refusal;
        EXPECT_EQ(plan.config.kernelName, c.kernel);
        EXPECT_EQ(plan.config.threadsPerGrid, c.threads);
        EXPECT_EQ(plan.config.blocksPerGrid * 256, c.threads);
        EXPECT_EQ(plan.config.deviceClass, c.deviceClass);
        EXPECT_EQ(plan.config.primeCount, c.primeCount);
        EXPECT_EQ(plan.config.sieveRange, c.sieveRange);
        EXPECT_GE(plan.config.launchEntry, 0);
    }
}

// configureLaunch prints the refusal to standard output; the death test only
// sees standard error, so the child sends one to the other.
void configureWithStdoutOnStderr(int major, int mp, uint32_t n, uint64_t k) {
    std::fflush(stdout);  // what the parent left buffered belongs to the parent
    ::dup2(2, 1);
    configureLaunch(device(major, mp), RuntimeKind::Cuda, n, k);
}

TEST(LaunchConfigDeathTest, RefusalsAreNamedPrintedAndExitWithOne) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    struct RefusalCase {
        const char* what;
        int major, mp;
        uint32_t n;
        uint64_t k;
        uint32_t wordCount;
        std::string refusal;
    };
    const std::string bitLevel = "No kernel for that bit level\n", small = "No kernel for n < 32\n",
                      fermat = "No kernel for that Fermat number\n";
    const RefusalCase cases[] = {
        {"W=13 below window 12", 5, 3, 400, 3, 13, bitLevel},
        {"n=32 k=3: W=2", 6, 20, 32, 3, 2, bitLevel},
        {"n=607 k=2^63: W=21", 6, 20, 607, 1ull << 63, 21, bitLevel},
        {"W=19 in the last window", 6, 20, 576, 3, 19, bitLevel},
        {"n=31", 6, 20, 31, 1ull << 40, 3, small},
        {"n=20", 6, 20, 20, 3, 1, small},
        {"n=0", 6, 20, 0, 3, 1, small},
        {"n=608", 6, 20, 608, 3, 20, fermat},
        {"n=700", 6, 20, 700, 3, 22, fermat},
        {"n=10000", 6, 20, 10000, 3, 313, fermat},
    };
    for (const RefusalCase& c : cases) {
        SCOPED_TRACE(c.what);
        const LaunchPlan plan = planLaunch(device(c.major, c.mp), RuntimeKind::Cuda, c.n, c.k);
        EXPECT_EQ(plan.config.wordCount, c.wordCount);
        ASSERT_NE(plan.refusal, nullptr);
        EXPECT_EQ(plan.refusal, c.refusal);
        EXPECT_EXIT(configureWithStdoutOnStderr(c.major, c.mp, c.n, c.k), ::testing::ExitedWithCode(1),
                    "^" + c.refusal + "$");
    }
}

TEST(LaunchConfig, ThreadsPerGridRowsChangeAtTheirBoundaries) {
    // One letter per word count 3..21: F full grid (2^20 threads), then H
    // half, Q quarter, E an eighth, S a sixteenth.
    struct Row {
        int major, mp;
        const char* threads;
    };
    const Row rows[] = {
        {2, 1, "FFFFFFHHHQQQEEESSSS"}, {2, 2, "FFFFFFFFHHHQQQQEEEE"}, {2, 3, "FFFFFFFFFFFHHHHQQQQ"},
        {2, 4, "FFFFFFFFFFFFFHHQQQQ"}, {2, 6, "FFFFFFFFFFFFFFFHHQQ"}, {2, 7, "FFFFFFFFFFFFFFFFFHH"},
        {3, 1, "FFFFFFFFHHHQQQQEEEE"}, {3, 2, "FFFFFFFFFFFHHHHQQQQ"}, {3, 3, "FFFFFFFFFFFFFFHHHQQ"},
        {3, 4, "FFFFFFFFFFFFFFFFFHH"}, {5, 2, "FFFFFFFFFHHQQQQEEEE"}, {5, 3, "FFFFFFFFFHHQQQQEEEE"},
        {5, 4, "FFFFFFFFFFFHHHHQQQQ"}, {5, 5, "FFFFFFFFFFFFFFHHHQQ"}, {5, 6, "FFFFFFFFFFFFFFFFFHH"},
        {6, 3, "FFFFFFFFFFFFFFHHHHH"}, {6, 5, "FFFFFFFFFFFFFFFFFHH"},
    };
    std::vector<Row> all(std::begin(rows), std::end(rows));
    for (auto [major, mp] : {std::pair{2, 5}, {2, 8}, {3, 5}, {5, 1}, {5, 7}, {6, 4}, {6, 6}, {7, 1}, {8, 2},
                             {1, 1}, {2, 0}})
        all.push_back({major, mp, "FFFFFFFFFFFFFFFFFFF"});
    for (const Row& r : all)
        for (uint32_t w = 3; w <= 21; ++w)
            EXPECT_EQ(threadsPerGridFor(r.major, r.mp, w), (1u << 20) >> std::string("FHQES").find(r.threads[w - 3]))
                << "major " << r.major << " mp " << r.mp << " W " << w;
}

TEST(LaunchConfig, DeviceClassByMajorAndMultiprocessors) {
    struct ClassCase {
        int major;
        std::array<int32_t, 11> classes;  // multiprocessor counts -1, 0, 1..8, 100
    };
    const ClassCase cases[] = {
        {2, {2, 2, 0, 0, 0, 1, 2, 1, 1, 2, 2}},
        {3, {2, 2, 0, 0, 1, 1, 2, 2, 2, 2, 2}},
        {5, {2, 2, 2, 0, 0, 1, 1, 1, 2, 2, 2}},
        {6, {2, 2, 2, 2, 1, 2, 1, 1, 2, 2, 2}},
        {7, {2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2}},
        {8, {2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2}},
        {1, {2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2}},
    };
    for (const ClassCase& c : cases)
        for (int i = 0; i <= 10; ++i) {
            const int mp = i == 10 ? 100 : i - 1;
            EXPECT_EQ(deviceClassOf(c.major, mp), c.classes[static_cast<std::size_t>(i)])
                << "major " << c.major << " mp " << mp;
        }
}

TEST(LaunchConfig, PrimeCountTableCorners) {
    struct Corner {
        int32_t deviceClass;
        uint32_t wordCount, primeCount;
    };
    const Corner corners[] = {
        {0, 3, 100},     {0, 4, 5000},    {0, 5, 50000},   {0, 7, 200000},  {0, 10, 500000},
        {0, 13, 1000000}, {0, 20, 1000000}, {1, 3, 20},     {1, 5, 500},     {1, 6, 20000},
        {1, 8, 100000},  {1, 9, 200000},  {1, 12, 500000}, {1, 20, 500000}, {2, 3, 4},
        {2, 4, 4},       {2, 5, 50},      {2, 6, 100},     {2, 7, 1000},    {2, 8, 5000},
        {2, 9, 20000},   {2, 10, 50000},  {2, 11, 200000}, {2, 15, 200000}, {2, 16, 500000},
        {2, 20, 500000}, {2, 2, 0},       {2, 21, 0},      {3, 10, 0},      {-1, 10, 0},
    };
    for (const Corner& c : corners)
        EXPECT_EQ(primeCountFor(c.deviceClass, c.wordCount), c.primeCount)
            << "class " << c.deviceClass << " W " << c.wordCount;
}

TEST(LaunchConfig, SieveRangeForEveryConfiguredPrimeCount) {
    struct RangeRow {
        uint32_t primeCount;
        std::array<int32_t, 5> byT;  // t = 1, 2, 4, 8, 16
    };
    const RangeRow rows[] = {
        {4, {2523140, 1261570, 630785, 315392, 157696}},
        {20, {4210000, 2105000, 1052500, 526250, 263125}},
        {50, {5210000, 2605000, 1302500, 651250, 325625}},
        {100, {5960000, 2980000, 1490000, 745000, 372500}},
        {500, {7690000, 3845000, 1922500, 961250, 480625}},
        {1000, {8420000, 4210000, 2105000, 1052500, 526250}},
        {5000, {10120000, 5060000, 2530000, 1265000, 632500}},
        {20000, {11550000, 5775000, 2887500, 1443750, 721875}},
        {50000, {12490000, 6245000, 3122500, 1561250, 780625}},
        {100000, {13200000, 6600000, 3300000, 1650000, 825000}},
        {200000, {13900000, 6950000, 3475000, 1737500, 868750}},
        {500000, {14820000, 7410000, 3705000, 1852500, 926250}},
        {1000000, {15510000, 7755000, 3877500, 1938750, 969375}},
    };
    for (const RangeRow& r : rows)
        for (int shift = 0; shift < 5; ++shift)
            EXPECT_EQ(sieveRangeFor(r.primeCount, (1u << 20) >> shift),
                      r.byT[static_cast<std::size_t>(shift)])
                << "primes " << r.primeCount << " t " << (1 << shift);
    EXPECT_EQ(sieveRangeFor(0, 1u << 20), 2523140);
    EXPECT_EQ(sieveRangeFor(9, 1u << 20), 2523140);
}

TEST(LaunchConfig, HostDeviceTakesItsOwnTableAndNoOverride) {
    struct HostCase {
        uint32_t n;
        uint64_t k;
    };
    // Among them the two kernels the GPU tables override.
    const HostCase cases[] = {{32, 1ull << 32}, {127, 5}, {300, 1ull << 60}, {360, 1ull << 62},
                              {576, 1ull << 32}};
    for (const HostCase& c : cases) {
        const LaunchPlan plan = planLaunch(device(0, 16), RuntimeKind::Host, c.n, c.k);
        ASSERT_EQ(plan.refusal, nullptr) << "n " << c.n;
        const HostLaunchRow row = hostLaunchRowFor(plan.config.wordCount);
        EXPECT_EQ(plan.config.threadsPerGrid, row.threadsPerGrid);
        EXPECT_EQ(plan.config.blocksPerGrid * 256, row.threadsPerGrid);
        EXPECT_EQ(plan.config.primeCount, row.primeCount);
        EXPECT_EQ(plan.config.sieveRange, sieveRangeFor(row.primeCount, row.threadsPerGrid));
    }
    for (uint32_t w = 3; w <= 20; ++w) {
        const HostLaunchRow row = hostLaunchRowFor(w);
        EXPECT_GE(row.threadsPerGrid, 256u);
        EXPECT_LE(row.threadsPerGrid, 1u << 20);
        EXPECT_EQ((1u << 20) % row.threadsPerGrid, 0u);
        EXPECT_GE(row.primeCount, 1u);
    }
    EXPECT_EQ(hostLaunchRowFor(2).threadsPerGrid, 0u);
    EXPECT_STREQ(planLaunch(device(0, 16), RuntimeKind::Host, 31, 3).refusal,
                 "No kernel for n < 32\n");
}

TEST(LaunchConfig, RuntimeOptionsBlock) {
    const LaunchConfig config = planLaunch(device(6, 20), RuntimeKind::Cuda, 300, 1ull << 60).config;
    EXPECT_EQ(runtimeOptionsText(config),
              "\nRuntime options\n"
              "  GPU kernel                kalvenor384bit_n288_319\n"
              "  threads per grid          1048576\n"
              "  prime count               800000\n"
              "  sieve range               15300000\n");

    ::testing::internal::CaptureStdout();
    const LaunchConfig printed = configureLaunch(device(6, 20), RuntimeKind::Cuda, 300, 1ull << 60);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), runtimeOptionsText(config));
    EXPECT_EQ(printed.kernelName, config.kernelName);
    EXPECT_EQ(printed.sieveRange, config.sieveRange);
}

}  // namespace
}  // namespace kalvenor
