// How a launch fills the result buffer: only the batch's own slots, records
// of whole multipliers, at most three records and never a word past the
// buffer, while the count goes on.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "kernels/host_kernels.h"
#include "kernels/host_launch.h"
#include "kernels/kernel_args.h"
#include "kernels/kernel_table.h"

namespace kalvenor {
namespace {

constexpr uint32_t kGuard = 0xa5a5a5a5u;
constexpr size_t kBefore = 8;

// The result buffer in the middle of a larger array, to see stray writes.
struct GuardedResult {
    std::vector<uint32_t> words = std::vector<uint32_t>(kBefore + kResultWords + 8, kGuard);
    GuardedResult() { std::fill_n(words.begin() + kBefore, kResultWords, 0u); }
    uint32_t* buffer() { return words.data() + kBefore; }
    void expectGuardsIntact() const {
        for (size_t i = 0; i < words.size(); ++i) {
            if (i < kBefore || i >= kBefore + kResultWords) {
                EXPECT_EQ(words[i], kGuard) << "word " << i;
            }
        }
    }
};

const int kFactorKernel = kernelIndexByName("kalvenor160bit_n96_127");  // 5*2^127+1
const uint32_t kN = 127;

struct Split {
    const char* name;
    std::vector<uint32_t> cuts;  // launch ranges [cuts[i], cuts[i+1])
};

class FiveFactors : public ::testing::TestWithParam<Split> {};

// More passing slots than records, run as one range or as several workers would.
TEST_P(FiveFactors, CountAllButRecordThree) {
    const std::vector<uint64_t> ks(5, 5);
    GuardedResult result;
    const KernelArgs args{result.buffer(), ks.data(), kN, 5, nullptr};
    const std::vector<uint32_t>& cuts = GetParam().cuts;
    for (size_t i = 0; i + 1 < cuts.size(); ++i) hostKernel(kFactorKernel)(args, cuts[i], cuts[i + 1]);
    const uint32_t* words = result.buffer();
    EXPECT_EQ(words[0], 5u);
    for (uint32_t r = 0; r < kResultRecords; ++r) {
        EXPECT_EQ(words[3 * r + 1], 5u) << "record " << r;
        EXPECT_EQ(words[3 * r + 2], 0u) << "record " << r;
        EXPECT_EQ(words[3 * r + 3], 0u) << "reserved word of record " << r;
    }
    result.expectGuardsIntact();
}

INSTANTIATE_TEST_SUITE_P(Ranges, FiveFactors,
                         ::testing::Values(Split{"OneRange", {0, 5}}, Split{"TwoRanges", {0, 2, 5}},
                                           Split{"SlotBySlot", {0, 1, 2, 3, 4, 5}}),
                         [](const ::testing::TestParamInfo<Split>& info) { return info.param.name; });

TEST(ResultRecords, SlotsBeyondTheCountAreNeitherTestedNorReported) {
    // Slots 2.. hold factors left over from an earlier batch.
    const std::vector<uint64_t> ks = {3, 5, 5, 5, 5, 5};
    GuardedResult result;
    std::vector<uint32_t> residues(ks.size() * kResidueStride, testing::kUntouched);
    const KernelArgs args{result.buffer(), ks.data(), kN, 2, residues.data()};
    hostKernel(kFactorKernel)(args, 0, static_cast<uint32_t>(ks.size()));
    EXPECT_EQ(result.buffer()[0], 1u);
    EXPECT_EQ(result.buffer()[1], 5u);
    for (size_t slot = 0; slot < ks.size(); ++slot)
        EXPECT_EQ(residues[slot * kResidueStride] == testing::kUntouched, slot >= 2) << "slot " << slot;
    for (int word = 4; word < kResultWords; ++word) EXPECT_EQ(result.buffer()[word], 0u) << "word " << word;
    result.expectGuardsIntact();
}

TEST(ResultRecords, MultipliersAbove32BitsAreRecordedWhole) {
    struct Case {
        uint64_t k;
        uint32_t n;
        const char* kernel;
    };
    for (const Case c : {Case{25709319373u, 36, "kalvenor96bit_n32_63"},
                         Case{1527888802614951u, 120, "kalvenor192bit_n96_127"}}) {
        SCOPED_TRACE(c.kernel);
        const std::vector<uint64_t> ks = {c.k, c.k - 2, c.k};
        GuardedResult result;
        const KernelArgs args{result.buffer(), ks.data(), c.n, 3, nullptr};
        hostKernel(kernelIndexByName(c.kernel))(args, 0, 3);
        const uint32_t* words = result.buffer();
        EXPECT_EQ(words[0], 2u);
        for (uint32_t r = 0; r < 2; ++r) {
            EXPECT_EQ(words[3 * r + 1], static_cast<uint32_t>(c.k));
            EXPECT_EQ(words[3 * r + 2], static_cast<uint32_t>(c.k >> 32));
        }
        for (int word : {3, 6, 7, 8, 9}) EXPECT_EQ(words[word], 0u) << "word " << word;
        result.expectGuardsIntact();
    }
}

TEST(ResultRecords, ALaunchWithoutFactorsLeavesTheBufferZero) {
    const std::vector<uint64_t> ks = {3, 7, 9, 11};
    GuardedResult result;
    const KernelArgs args{result.buffer(), ks.data(), kN, 4, nullptr};
    hostKernel(kFactorKernel)(args, 0, 4);
    for (int word = 0; word < kResultWords; ++word) EXPECT_EQ(result.buffer()[word], 0u);
    result.expectGuardsIntact();
}

}  // namespace
}  // namespace kalvenor
