#include "sieve/factor_report.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace kalvenor {
namespace {

using kalvenor::testing::ScratchDir;
using kalvenor::testing::readFile;

TEST(FactorReport, MessageAndFrameLengths) {
    struct FrameCase {
        uint64_t k;
        uint32_t n;
        const char* message;
        std::size_t stars;
    };
    const FrameCase cases[] = {
        {5, 127, "!!! Found factor 5*2^127+1 !!!\n", 30},
        {123456, 127, "!!! Found factor 123456*2^127+1 !!!\n", 35},
        {76432329, 74, "!!! Found factor 76432329*2^74+1 !!!\n", 36},
        {(1ull << 32) + 1, 40, "!!! Found factor 4294967297*2^40+1 !!!\n", 38},
        {UINT64_MAX, 607, "!!! Found factor 18446744073709551615*2^607+1 !!!\n", 49},
    };
    for (const FrameCase& c : cases) {
        const std::string message = factorMessage(c.k, c.n);
        EXPECT_EQ(message, c.message);
        const std::string frame = factorFrame(message);
        ASSERT_EQ(frame.size(), 78u);
        EXPECT_EQ(frame, std::string(c.stars, '*') + std::string(78 - c.stars, ' ')) << c.message;
        EXPECT_EQ(factorBanner(c.k, c.n), "\n" + frame + "\n" + message + frame);
    }
}

TEST(FactorReport, FactorGoesToConsoleAndFactorsFile) {
    ScratchDir dir;
    ::testing::internal::CaptureStdout();
    reportFactor(5, 127);
    reportFactor((1ull << 40) + 7, 300);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              factorBanner(5, 127) + factorBanner((1ull << 40) + 7, 300));
    const std::string log = readFile(dir / "factors.txt");
    // Each entry: a 24-character ctime line, then the message.
    const std::string first = factorMessage(5, 127), second = factorMessage((1ull << 40) + 7, 300);
    ASSERT_EQ(log.size(), 25 + first.size() + 25 + second.size());
    EXPECT_EQ(log[24], '\n');
    EXPECT_EQ(log.substr(25, first.size()), first);
    EXPECT_EQ(log[25 + first.size() + 24], '\n');
    EXPECT_EQ(log.substr(50 + first.size()), second);
}

TEST(FactorReport, UnwritableFactorsFileStillShowsTheFactorOnStandardError) {
    ScratchDir dir;
    std::filesystem::create_directory(dir / "factors.txt");
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    reportFactor(5, 127);
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), factorBanner(5, 127));
    EXPECT_NE(err.find("factors.txt"), std::string::npos) << err;
    EXPECT_NE(err.find(factorMessage(5, 127)), std::string::npos) << err;
}

std::vector<uint32_t> resultBuffer(uint32_t counted, std::vector<uint64_t> records) {
    std::vector<uint32_t> words(10, 0);
    words[0] = counted;
    for (std::size_t r = 0; r < records.size(); ++r) {
        words[3 * r + 1] = static_cast<uint32_t>(records[r]);
        words[3 * r + 2] = static_cast<uint32_t>(records[r] >> 32);
    }
    return words;
}

TEST(FactorReport, FactorsOfOneLaunch) {
    struct LaunchCase {
        std::vector<uint64_t> batch;  // not consulted while the records suffice
        uint32_t counted;
        std::vector<uint64_t> records, found;
        bool warning;
    };
    const std::vector<uint64_t> unused = {7, 9, 11};
    const LaunchCase cases[] = {
        {unused, 0, {}, {}, false},
        {unused, 1, {(1ull << 32) + 5}, {(1ull << 32) + 5}, false},
        {unused, 2, {UINT64_MAX, 3}, {UINT64_MAX, 3}, false},  // device order, not sorted
        {unused, 3, {0xFFFFFFFFull, 1ull << 32, 77}, {0xFFFFFFFFull, 1ull << 32, 77}, false},
        // k=5 with n=127 divides F125; the other slots are not factors. The
        // device saw five and kept three records: the batch is tested again.
        {{3, 5, 7, 5, 5, 9, 11, 5, 13, 5, 15}, 5, {5, 5, 5}, {5, 5, 5, 5, 5}, false},
        {{3, 5, 7, 9, 11}, 4, {3, 7, 9}, {5}, true},  // the host test disagrees, and says so
    };
    for (const LaunchCase& c : cases) {
        SCOPED_TRACE(c.counted);
        const std::vector<uint32_t> words = resultBuffer(c.counted, c.records);
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(factorsOfLaunch(words.data(), c.batch.data(), static_cast<uint32_t>(c.batch.size()), 127),
                  c.found);
        EXPECT_EQ(::testing::internal::GetCapturedStderr().find("WARNING") != std::string::npos, c.warning);
    }
    const std::vector<uint64_t> batch = {3, 5, 7};
    EXPECT_EQ(retestBatch(batch.data(), 3, 127), (std::vector<uint64_t>{5}));
    EXPECT_TRUE(retestBatch(batch.data(), 0, 127).empty());
}

}  // namespace
}  // namespace kalvenor
