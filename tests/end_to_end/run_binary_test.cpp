// The real binary in a scratch directory: its console text, files and exit
// codes for whole runs.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/test_support.h"

namespace kalvenor::testing {
namespace {

const std::string kSeparator = std::string(80, '-') + "\n";

std::string factorBanner(const std::string& message) {
    // The frame is as long as the visible message, padded to 78 characters.
    const size_t visible = message.size() - 1;
    const std::string frame = std::string(visible, '*') + std::string(78 - visible, ' ');
    return "\n" + frame + "\n" + message + frame;
}

TEST(EndToEnd, EmptyWorkFileEndsWithCodeOne) {
    ScratchDir dir(false);
    writeFile(dir / "worktodo.txt", "");
    const ProcessResult run = runKalvenor(dir.path());
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.out.find("Kalvenor_CUDA version 2.018\n"), std::string::npos);
    EXPECT_NE(run.out.find("\nNo available assignments found in worktodo file.\n"), std::string::npos);
}

TEST(EndToEnd, MissingWorkFileSaysSoAndEndsWithCodeOne) {
    ScratchDir dir(false);
    const ProcessResult run = runKalvenor(dir.path());
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("Can't open worktodo file"), std::string::npos) << run.err;
}

TEST(EndToEnd, KnownFactorOfF28IsReportedAndTheLineRemoved) {
    ScratchDir dir(false);
    writeFile(dir / "worktodo.txt", "FermatFactor=36,36,25709300001,25709340001\n");
    const ProcessResult run = runKalvenor(dir.path());
    ASSERT_EQ(run.exitCode, 6) << run.out << run.err;

    EXPECT_NE(run.out.find("\nStarting range: n=36-36 and k=25709300001-25709340001\n"), std::string::npos);
    EXPECT_NE(run.out.find("\nRuntime options\n  GPU kernel                kalvenor96bit_n32_63\n"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("\nTesting for n = 36\n"), std::string::npos);
    EXPECT_NE(run.out.find(factorBanner("!!! Found factor 25709319373*2^36+1 !!!\n")), std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("\nn=36: tested "), std::string::npos);
    EXPECT_NE(run.out.find("\nNo more assignments found in worktodo file. Work is done.\n"), std::string::npos);

    EXPECT_EQ(readFile(dir / "worktodo.txt"), "");
    EXPECT_FALSE(fileExists(dir / "kalvenor.cpt"));

    const std::string factors = readFile(dir / "factors.txt");
    EXPECT_EQ(countOf(factors, "!!! Found factor 25709319373*2^36+1 !!!\n"), 1) << factors;
    ASSERT_GE(factors.size(), 25u);
    EXPECT_EQ(factors[24], '\n');  // the ctime stamp on its own line

    const std::string results = readFile(dir / "results.txt");
    EXPECT_NE(results.find("Starting range: n=36-36 and k=25709300001-25709340001\n"), std::string::npos);
    EXPECT_NE(results.find("n=36: tested "), std::string::npos);
    EXPECT_NE(results.find(" of 40001 numbers ("), std::string::npos);
    EXPECT_NE(results.find("Range is complete. Found 1 factor(s). For details see file factors.txt\n" +
                           kSeparator),
              std::string::npos)
        << results;
}

TEST(EndToEnd, BlankLineIsRemovedThenTheNextLineRuns) {
    ScratchDir dir(false);
    writeFile(dir / "worktodo.txt", "   \nFermatFactor=127,127,3,101\n");
    const ProcessResult run = runKalvenor(dir.path());
    ASSERT_EQ(run.exitCode, 6) << run.out << run.err;
    EXPECT_NE(run.out.find("\nRemoved blank line from worktodo file.\n"), std::string::npos);
    EXPECT_EQ(countOf(run.out, "!!! Found factor 5*2^127+1 !!!"), 1);
    EXPECT_EQ(readFile(dir / "worktodo.txt"), "");
}

TEST(EndToEnd, RejectedLinesAreRemovedWithTheirMessages) {
    ScratchDir dir(false);
    writeFile(dir / "worktodo.txt",
              "fermatfactor=40,40,3,5\nFermatFactor=31,40,3,5\nFermatFactor=40,40,9,7\n");
    const ProcessResult run = runKalvenor(dir.path());
    EXPECT_EQ(run.exitCode, 6) << run.out << run.err;
    EXPECT_NE(run.out.find("\nRemoved a line that does not begin with FermatFactor= (case-sensitive).\n"),
              std::string::npos);
    EXPECT_NE(run.out.find("\nThe values of n must be in the range from nMin = 32 to nMax = 607.\n"
                           "\nRemoved a line with incorrect start or end values of k or n.\n"),
              std::string::npos);
    EXPECT_NE(run.out.find("\nThe ending value for k (kEnd) was not set or less than the starting value of k (kStart).\n"),
              std::string::npos);
    EXPECT_EQ(readFile(dir / "worktodo.txt"), "");
}

struct KnownFactorCase {
    const char* line;
    const char* message;
};

class KnownFactorRanges : public ::testing::TestWithParam<KnownFactorCase> {};

TEST_P(KnownFactorRanges, EachFactorIsReportedExactlyOnce) {
    ScratchDir dir(false);
    writeFile(dir / "worktodo.txt", std::string(GetParam().line) + "\n");
    const ProcessResult run = runKalvenor(dir.path(), "", 300);
    ASSERT_EQ(run.exitCode, 6) << run.out << run.err;
    EXPECT_EQ(countOf(run.out, GetParam().message), 1) << run.out;
    EXPECT_EQ(countOf(readFile(dir / "factors.txt"), GetParam().message), 1);
    EXPECT_NE(run.out.find("\nRuntime options\n"), std::string::npos);
    EXPECT_NE(readFile(dir / "results.txt").find("Range is complete. Found 1 factor(s)."), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    AroundKnownFactors, KnownFactorRanges,
    ::testing::Values(KnownFactorCase{"FermatFactor=74,74,76400001,76500001", "!!! Found factor 76432329*2^74+1 !!!"},
                      KnownFactorCase{"FermatFactor=127,127,3,2001", "!!! Found factor 5*2^127+1 !!!"},
                      KnownFactorCase{"FermatFactor=252,252,301,1001", "!!! Found factor 403*2^252+1 !!!"},
                      KnownFactorCase{"FermatFactor=120,120,1527888802600001,1527888802630001",
                                      "!!! Found factor 1527888802614951*2^120+1 !!!"}),
    [](const ::testing::TestParamInfo<KnownFactorCase>& info) { return "Line" + std::to_string(info.index); });

TEST(EndToEnd, SummaryLinesAreStampedAndCompletionLinesAreNot) {
    ScratchDir dir(false);
    writeFile(dir / "worktodo.txt", "FermatFactor=60,61,4294967297,4294977297\n");
    const ProcessResult run = runKalvenor(dir.path());
    ASSERT_EQ(run.exitCode, 6) << run.out << run.err;
    EXPECT_EQ(countOf(run.out, "\nTesting for n = "), 2);
    const std::string results = readFile(dir / "results.txt");
    // stamp, Starting range, stamp, n=60, stamp, n=61, completion, separator
    std::vector<std::string> lines;
    for (size_t at = 0; at < results.size();) {
        size_t end = results.find('\n', at);
        lines.push_back(results.substr(at, end - at));
        at = end + 1;
    }
    ASSERT_EQ(lines.size(), 8u) << results;
    EXPECT_EQ(lines[0].size(), 24u);
    EXPECT_EQ(lines[1].rfind("Starting range: n=60-61 and k=4294967297-4294977297", 0), 0u);
    EXPECT_EQ(lines[2].size(), 24u);
    EXPECT_EQ(lines[3].rfind("n=60: tested ", 0), 0u);
    EXPECT_EQ(lines[5].rfind("n=61: tested ", 0), 0u);
    EXPECT_EQ(lines[6], "Range is complete. No factors found.");
    EXPECT_EQ(lines[7], std::string(80, '-'));
}

}  // namespace
}  // namespace kalvenor::testing
