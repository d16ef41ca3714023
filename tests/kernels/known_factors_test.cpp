// Known factors of Fermat numbers go through the kernel the program would
// choose for them and must be reported, whole, in the result buffer.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "kernels/gmp_support.h"
#include "kernels/host_launch.h"
#include "kernels/kernel_choice.h"
#include "kernels/kernel_table.h"
#include "kernels/reference_test.h"

namespace kalvenor {
namespace {

struct KnownFactor {
    uint64_t k;
    uint32_t n;
    const char* kernel;
};

const KnownFactor kKnownFactors[] = {
    {76432329, 74, "kalvenor128bit_n64_95"},
    {5, 127, "kalvenor160bit_n96_127"},
    {403, 252, "kalvenor288bit_n224_255"},
    {25709319373u, 36, "kalvenor96bit_n32_63"},             // k above 2^32
    {1527888802614951u, 120, "kalvenor192bit_n96_127"},     // upper level, k above 2^50
    {32111, 217, "kalvenor256bit_n192_223"},
    {27609, 341, "kalvenor384bit_n320_351"},
    {5769285, 434, "kalvenor480bit_n416_447"},
};

class KnownFactorTable : public ::testing::TestWithParam<KnownFactor> {};

TEST_P(KnownFactorTable, IsReportedByItsHostKernel) {
    const KnownFactor f = GetParam();
    ASSERT_TRUE(testing::gmpIsFactor(f.k, f.n)) << "not a factor of a Fermat number";
    EXPECT_TRUE(referenceTest(f.k, f.n));

    const KernelChoice choice = chooseKernel(f.n, wordCountOf(f.n, f.k));
    ASSERT_GE(choice.index, 0) << choice.message;
    EXPECT_STREQ(kKernels[choice.index].name, f.kernel);

    // Between two non-factors, so the record is the factor's and not a neighbour's.
    const std::vector<uint64_t> ks = {f.k + 2, f.k, f.k + 4};
    const testing::HostLaunch launch = testing::launchOnHost(choice.index, f.n, ks);
    EXPECT_EQ(launch.result[0], 1u);
    EXPECT_EQ(testing::recordedMultipliers(launch.result), std::vector<uint64_t>{f.k});
    EXPECT_EQ(launch.residueOf(1)[0], 1u);
    for (uint32_t word = 1; word < kKernels[choice.index].w; ++word) EXPECT_EQ(launch.residueOf(1)[word], 0u);
}

INSTANTIATE_TEST_SUITE_P(Table, KnownFactorTable, ::testing::ValuesIn(kKnownFactors),
                         [](const ::testing::TestParamInfo<KnownFactor>& info) {
                             std::string name = "k";
                             name += std::to_string(info.param.k);
                             name += "_n";
                             name += std::to_string(info.param.n);
                             return name;
                         });

// P = (2^33+1)*2^32 + 1 = (1, 0, 2, 0)... in words (1, 1, 2): the first
// squaring meets a zero word in its second reduction step.
TEST(ZeroWordInReduction, HostKernelAgreesWithTheReference) {
    const uint64_t k = (uint64_t{1} << 33) + 1;
    const uint32_t n = 32;
    const int index = kernelIndexByName("kalvenor96bit_n32_63");
    ASSERT_EQ(chooseKernel(n, wordCountOf(n, k)).index, index);
    const testing::HostLaunch launch = testing::launchOnHost(index, n, {k});
    const std::vector<uint32_t> reference = referenceResidue(k, n);
    ASSERT_EQ(reference.size(), 3u);
    EXPECT_EQ(std::vector<uint32_t>(launch.residueOf(0), launch.residueOf(0) + 3), reference);
    EXPECT_EQ(reference, testing::gmpResidue(k, n, 3));
    EXPECT_EQ(launch.result[0], referenceTest(k, n) ? 1u : 0u);
}

}  // namespace
}  // namespace kalvenor
