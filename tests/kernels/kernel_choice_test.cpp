// Word counts and the choice of kernel, as a table and as a sweep over every
// exponent and multiplier size.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "kernels/kernel_choice.h"
#include "kernels/kernel_table.h"

namespace kalvenor {
namespace {

struct ChoiceCase {
    uint32_t n;
    uint64_t k;
    uint32_t words;
    const char* kernel;   // null when there is none
    const char* message;  // null when there is a kernel
};

// Multipliers that are powers of two, at exponents 32..607, are the sweep's below.
const ChoiceCase kChoices[] = {
    {32, 3, 2, nullptr, "No kernel for that bit level\n"},
    {32, 0, 2, nullptr, "No kernel for that bit level\n"},
    {63, ~uint64_t{0}, 4, "kalvenor128bit_n32_63", nullptr},
    {74, 76432329, 4, "kalvenor128bit_n64_95", nullptr},
    {127, 5, 5, "kalvenor160bit_n96_127", nullptr},
    {576, ~uint64_t{0}, 20, "kalvenor640bit_n576_607", nullptr},
    {31, uint64_t{1} << 40, 3, nullptr, "No kernel for n < 32\n"},
    {0, 3, 1, nullptr, "No kernel for n < 32\n"},
    {608, 3, 20, nullptr, "No kernel for that Fermat number\n"},
    {1000, 3, 32, nullptr, "No kernel for that Fermat number\n"},
};

class KernelChoiceTable : public ::testing::TestWithParam<ChoiceCase> {};

TEST_P(KernelChoiceTable, WordCountAndKernel) {
    const ChoiceCase c = GetParam();
    EXPECT_EQ(wordCountOf(c.n, c.k), c.words);
    const KernelChoice choice = chooseKernel(c.n, c.words);
    if (c.kernel != nullptr) {
        ASSERT_GE(choice.index, 0) << choice.message;
        EXPECT_STREQ(kKernels[choice.index].name, c.kernel);
        EXPECT_EQ(choice.message, nullptr);
    } else {
        EXPECT_EQ(choice.index, -1);
        ASSERT_NE(choice.message, nullptr);
        EXPECT_STREQ(choice.message, c.message);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, KernelChoiceTable, ::testing::ValuesIn(kChoices));

// Every exponent with every multiplier size: a kernel is chosen exactly when
// P has q+2 or q+3 words (q+2 only in the last window), and the chosen
// kernel's window, width and name fit.
TEST(KernelChoiceSweep, EveryExponentAndMultiplierSize) {
    for (uint32_t n = 32; n < 608; ++n) {
        const uint32_t q = n / 32;
        for (uint32_t b = 0; b < 64; ++b) {
            const uint32_t words = wordCountOf(n, uint64_t{1} << b);
            ASSERT_EQ(words, (n + b) / 32 + 1);
            const KernelChoice choice = chooseKernel(n, words);
            const bool served = words == q + 2 || (words == q + 3 && q < 18);
            ASSERT_EQ(choice.index >= 0, served) << "n=" << n << " b=" << b;
            if (!served) {
                EXPECT_STREQ(choice.message, "No kernel for that bit level\n");
                continue;
            }
            const KernelSpec& kernelSpec = kKernels[choice.index];
            EXPECT_EQ(kernelSpec.q, q);
            EXPECT_EQ(kernelSpec.w, words);
            const std::string name = "kalvenor" + std::to_string(32 * words) + "bit_n" + std::to_string(32 * q) +
                                     "_" + std::to_string(32 * q + 31);
            EXPECT_EQ(kernelSpec.name, name);
            EXPECT_EQ(kernelIndexByName(name), choice.index);
        }
    }
}

}  // namespace
}  // namespace kalvenor
