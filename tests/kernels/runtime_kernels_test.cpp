// Every kernel, launched through the runtime interface on every device this
// machine has, against GMP: the full residue of each slot, and which
// multipliers come back through the result buffer.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <tuple>

#include "runtime_harness.h"

namespace kalvenor::testing {
namespace {

using KernelParam = std::tuple<Device, int>;

class EachKernel : public ::testing::TestWithParam<KernelParam> {
protected:
    void SetUp() override {
        std::string why;
        runtime_ = makeRuntime(std::get<0>(GetParam()), why);
        if (!runtime_) GTEST_SKIP() << "device not available: " << why;
        bench_ = std::make_unique<LaunchBench>(*runtime_);
        ASSERT_TRUE(bench_->allocate());
    }
    void TearDown() override {
        bench_.reset();
        runtime_.reset();
    }
    LaunchBench& bench() { return *bench_; }

private:
    std::unique_ptr<Runtime> runtime_;
    std::unique_ptr<LaunchBench> bench_;
};

// The multipliers a kernel serves at exponent n: top-bit indices lo..hi.
struct BitRange {
    int lo;
    int hi;
};

BitRange servedBits(const KernelSpec& kernelSpec, uint32_t n) {
    const int lo = std::max(0, static_cast<int>(32 * (kernelSpec.w - 1)) - static_cast<int>(n));
    const int hi = std::min(63, static_cast<int>(32 * kernelSpec.w - 1) - static_cast<int>(n));
    return {lo, hi};
}

uint64_t lowestWithTopBit(int b) { return uint64_t{1} << b; }
uint64_t highestWithTopBit(int b) { return b == 63 ? ~uint64_t{0} : (uint64_t{1} << (b + 1)) - 1; }

// The multipliers of one launch at exponent n: both edges of the level
// (narrowest and widest P) and random ones in between.
std::vector<uint64_t> multipliersFor(const KernelSpec& kernelSpec, uint32_t n, std::mt19937_64& rng) {
    const BitRange bits = servedBits(kernelSpec, n);
    std::vector<uint64_t> ks = {lowestWithTopBit(bits.lo), lowestWithTopBit(bits.lo) + 1,
                                highestWithTopBit(bits.lo), lowestWithTopBit(bits.hi),
                                highestWithTopBit(bits.hi), highestWithTopBit(bits.hi) - 2};
    std::uniform_int_distribution<int> pickBit(bits.lo, bits.hi);
    for (int i = 0; i < 24; ++i) {
        const int b = pickBit(rng);
        ks.push_back(lowestWithTopBit(b) | (rng() & (lowestWithTopBit(b) - 1)));
    }
    return ks;
}

TEST_P(EachKernel, ResiduesAndReportsMatchGmpAcrossTheLevel) {
    const int index = std::get<1>(GetParam());
    const KernelSpec& kernelSpec = kKernels[index];
    std::mt19937_64 rng(0x5eed0000u + index);
    // The window's first and last exponents, their neighbours and one at random.
    std::vector<uint32_t> offsets = {0, 1, 30, 31,
                                     static_cast<uint32_t>(std::uniform_int_distribution<int>(2, 29)(rng))};
    int launches = 0;
    for (uint32_t r : offsets) {
        const uint32_t n = 32 * kernelSpec.q + r;
        const BitRange bits = servedBits(kernelSpec, n);
        if (bits.lo > bits.hi) continue;  // the upper level has nothing at r = 0
        const std::vector<uint64_t> ks = multipliersFor(kernelSpec, n, rng);
        for (uint64_t k : ks) ASSERT_EQ(index, servingKernel(k, n)) << "k=" << k << " n=" << n;

        const Outcome out = bench().run(index, n, ks, 0, /*withResidues=*/true);
        ASSERT_EQ(0, out.launchStatus);
        ASSERT_EQ(0, out.syncStatus);
        ++launches;

        std::vector<uint64_t> expected;
        for (std::size_t i = 0; i < ks.size(); ++i) {
            const std::vector<uint32_t> want = gmpResidue(ks[i], n, kernelSpec.w);
            const std::vector<uint32_t> got(out.residues.begin() + i * kResidueStride,
                                            out.residues.begin() + i * kResidueStride + kernelSpec.w);
            EXPECT_EQ(want, got) << kernelSpec.name << " k=" << ks[i] << " n=" << n;
            if (gmpReports(ks[i], n)) expected.push_back(ks[i]);
        }
        std::vector<uint64_t> reported = out.records();
        std::sort(reported.begin(), reported.end());
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(expected.size(), out.count()) << kernelSpec.name << " n=" << n;
        EXPECT_EQ(expected, reported) << kernelSpec.name << " n=" << n;
    }
    EXPECT_GT(launches, 0);
}

std::string kernelParamName(const ::testing::TestParamInfo<KernelParam>& info) {
    return deviceName(std::get<0>(info.param)) + "_" + kKernels[std::get<1>(info.param)].name;
}

INSTANTIATE_TEST_SUITE_P(Runtime, EachKernel,
                         ::testing::Combine(::testing::ValuesIn(devicesToTest()),
                                            ::testing::Range(0, kKernelCount)),
                         kernelParamName);

// ---- known factors ----

struct KnownFactor {
    uint64_t k;
    uint32_t n;
};

constexpr KnownFactor kKnownFactors[] = {
    {76432329, 74},     {5, 127},  {403, 252},      {25709319373ull, 36},
    {1527888802614951ull, 120},    {32111, 217},    {27609, 341},
    {5769285, 434},
};

class KnownFactors : public OnEachDevice {};

// The same prime written as (k*2^j, n-j) is still a factor as long as GMP
// agrees; those forms may land in a neighbouring window.
std::vector<KnownFactor> formsOf(const KnownFactor& f) {
    std::vector<KnownFactor> forms = {f};
    for (uint32_t j = 1; j < f.n && bitIndex(f.k) + j < 64; ++j) {
        const KnownFactor shifted{f.k << j, f.n - j};
        if (!gmpReports(shifted.k, shifted.n)) break;
        if (servingKernel(shifted.k, shifted.n) >= 0) forms.push_back(shifted);
    }
    return forms;
}

TEST_P(KnownFactors, AreReportedAmongOrdinaryMultipliers) {
    std::mt19937_64 rng(77);
    int checked = 0;
    for (const KnownFactor& known : kKnownFactors) {
        ASSERT_TRUE(gmpReports(known.k, known.n)) << known.k << "*2^" << known.n << "+1";
        for (const KnownFactor& f : formsOf(known)) {
            const int index = servingKernel(f.k, f.n);
            ASSERT_GE(index, 0) << f.k << "*2^" << f.n << "+1";
            // Neighbours of the same level, with the factor at a random slot.
            std::vector<uint64_t> ks = multipliersFor(kKernels[index], f.n, rng);
            std::erase_if(ks, [&](uint64_t k) { return gmpReports(k, f.n); });
            const std::size_t slot = rng() % (ks.size() + 1);
            ks.insert(ks.begin() + static_cast<std::ptrdiff_t>(slot), f.k);

            const Outcome out = bench().run(index, f.n, ks);
            ASSERT_EQ(0, out.launchStatus);
            ASSERT_EQ(0, out.syncStatus);
            EXPECT_EQ(1u, out.count()) << f.k << "*2^" << f.n << "+1 in " << kKernels[index].name;
            EXPECT_EQ(std::vector<uint64_t>{f.k}, out.records())
                << f.k << "*2^" << f.n << "+1 in " << kKernels[index].name;
            ++checked;
        }
    }
    EXPECT_GE(checked, 8);
}

INSTANTIATE_TEST_SUITE_P(Runtime, KnownFactors, ::testing::ValuesIn(devicesToTest()),
                         deviceParamName);

}  // namespace
}  // namespace kalvenor::testing
