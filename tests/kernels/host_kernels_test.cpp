// Every host kernel, on each path this processor runs, against GMP: verdict
// and residue at the edges of its level and window, and on random
// multipliers of its level.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "kernels/gmp_support.h"
#include "kernels/host_launch.h"
#include "kernels/kernel_table.h"

namespace kalvenor {
namespace {

using testing::HostLaunch;
using testing::HostPath;
using testing::kUntouched;
using testing::launchOnHost;
using testing::multiplierWithTopBitIndex;

// Top-bit indices b of the multipliers a kernel serves at exponent n, as a
// closed range; empty (low > high) when it serves none.
struct BitRange {
    int low;
    int high;
};

BitRange servedBits(const KernelSpec& kernelSpec, uint32_t n) {
    const int low = std::max(0, static_cast<int>(32 * (kernelSpec.w - 1)) - static_cast<int>(n));
    const int high = std::min(63, static_cast<int>(32 * kernelSpec.w - 1) - static_cast<int>(n));
    return {low, high};
}

using KernelOnPath = std::tuple<int, HostPath>;

std::string nameOf(const ::testing::TestParamInfo<KernelOnPath>& info) {
    return std::string(kKernels[std::get<0>(info.param)].name) + "_" + testing::nameOf(std::get<1>(info.param));
}

class EveryHostKernel : public ::testing::TestWithParam<KernelOnPath> {
protected:
    void SetUp() override {
        kernel_ = testing::kernelOn(std::get<1>(GetParam()), index());
        if (kernel_ == nullptr) GTEST_SKIP() << "this processor does not run the path";
    }

    int index() const { return std::get<0>(GetParam()); }
    const KernelSpec& kernelSpec() const { return kKernels[index()]; }
    HostLaunch launch(uint32_t n, const std::vector<uint64_t>& ks) const { return launchOnHost(kernel_, n, ks); }

    // Launches ks at n and checks each slot's residue and the reports against GMP.
    void expectLikeGmp(uint32_t n, const std::vector<uint64_t>& ks) {
        const HostLaunch launch = this->launch(n, ks);
        uint32_t factors = 0;
        for (size_t i = 0; i < ks.size(); ++i) {
            SCOPED_TRACE(::testing::Message() << "k=" << ks[i] << " n=" << n);
            const std::vector<uint32_t> expected = testing::gmpResidue(ks[i], n, kernelSpec().w);
            const std::vector<uint32_t> got(launch.residueOf(i), launch.residueOf(i) + kernelSpec().w);
            EXPECT_EQ(got, expected);
            for (uint32_t word = kernelSpec().w; word < kResidueStride; ++word)
                EXPECT_EQ(launch.residueOf(i)[word], kUntouched) << "word " << word;
            factors += testing::gmpIsFactor(ks[i], n);
        }
        EXPECT_EQ(launch.result[0], factors) << "n=" << n;
    }

private:
    HostKernelFn kernel_ = nullptr;
};

TEST_P(EveryHostKernel, MatchesGmpAtTheEdgesOfItsLevel) {
    std::mt19937_64 random(1000 + index());
    const uint32_t base = 32 * kernelSpec().q;
    std::vector<uint32_t> exponents = {base, base + 31, base + 1 + static_cast<uint32_t>(random() % 30)};
    // Either side of a multiple of 52 inside the window, where the IFMA
    // path's limb of P's multiplier moves up by one.
    for (uint32_t n = base + 1; n <= base + 31; ++n)
        if (n % 52 == 0) exponents.insert(exponents.end(), {n - 1, n});
    for (uint32_t n : exponents) {
        const BitRange bits = servedBits(kernelSpec(), n);
        if (bits.low > bits.high) continue;  // the upper level at n = 32q serves nobody
        std::vector<uint64_t> ks;
        const int middle = bits.low + static_cast<int>(random() % (bits.high - bits.low + 1));
        for (int b : {bits.low, middle, bits.high}) {
            const uint64_t top = uint64_t{1} << b;
            ks.push_back(top);                   // the narrowest P with this b
            ks.push_back(top | (top - 1));       // the widest
            ks.push_back(multiplierWithTopBitIndex(b, random) | 1);
        }
        expectLikeGmp(n, ks);
    }
}

TEST_P(EveryHostKernel, MatchesGmpOnRandomMultipliers) {
    std::mt19937_64 random(2000 + index());
    const uint32_t n = 32 * kernelSpec().q + 1 + static_cast<uint32_t>(random() % 31);
    const BitRange bits = servedBits(kernelSpec(), n);
    ASSERT_LE(bits.low, bits.high);
    std::vector<uint64_t> ks;
    // Enough to fill the widest pass of lanes (32) and part of the next.
    for (int i = 0; i < 45; ++i)
        ks.push_back(multiplierWithTopBitIndex(
            static_cast<uint32_t>(bits.low + static_cast<int>(random() % (bits.high - bits.low + 1))), random));
    expectLikeGmp(n, ks);
}

// Multipliers outside the kernel's reach end at once, unreported, with no residue.
TEST_P(EveryHostKernel, IgnoresMultipliersItDoesNotServe) {
    const uint32_t base = 32 * kernelSpec().q;
    std::vector<std::pair<uint32_t, uint64_t>> cases = {{base, 0}, {base + 31, 0}};
    for (uint32_t n : {base, base + 17, base + 31}) {
        const BitRange bits = servedBits(kernelSpec(), n);
        // One word too narrow; at n = 32q the upper level starts at 2^64, so
        // every multiplier is too narrow there (and a shift by 64 is undefined).
        if (bits.low > 0) cases.push_back({n, bits.low >= 64 ? UINT64_MAX : (uint64_t{1} << bits.low) - 1});
        if (bits.high < 63) cases.push_back({n, uint64_t{1} << (bits.high + 1)});  // one word too wide
    }
    for (uint32_t n : {base - 1, base + 32, 0u, 31u, 0xffffffffu}) {
        cases.push_back({n, 5});
        cases.push_back({n, 0xffffffffffffffffu});
    }
    for (const auto& [n, k] : cases) {
        SCOPED_TRACE(::testing::Message() << "k=" << k << " n=" << n);
        const HostLaunch launch = this->launch(n, {k, k, k});
        EXPECT_EQ(launch.result, std::vector<uint32_t>(kResultWords, 0));
        EXPECT_TRUE(std::all_of(launch.residues.begin(), launch.residues.end(),
                                [](uint32_t word) { return word == kUntouched; }));
    }
}

INSTANTIATE_TEST_SUITE_P(Kernels, EveryHostKernel,
                         ::testing::Combine(::testing::Range(0, kKernelCount), ::testing::ValuesIn(testing::kHostPaths)),
                         nameOf);

TEST(HostKernelTable, HasEveryKernelAndNothingElse) {
    for (int index = 0; index < kKernelCount; ++index) EXPECT_NE(hostKernel(index), nullptr) << index;
    EXPECT_EQ(hostKernel(-1), nullptr);
    EXPECT_EQ(hostKernel(kKernelCount), nullptr);
}

// Each kernel's code belongs to its own pair (q, w): a factor served by one
// kernel is reported by it and by no other.
TEST(HostKernelTable, OnlyTheServingKernelReportsAFactor) {
    const uint64_t k = 5;
    const uint32_t n = 127;  // P has 5 words: kalvenor160bit_n96_127
    const int serving = kernelIndexByName("kalvenor160bit_n96_127");
    for (int index = 0; index < kKernelCount; ++index) {
        const HostLaunch launch = launchOnHost(index, n, {k}, false);
        EXPECT_EQ(launch.result[0], index == serving ? 1u : 0u) << kKernels[index].name;
    }
}

}  // namespace
}  // namespace kalvenor
