// Whole runs that resume from a checkpoint or cut their line into pieces.
#include <gtest/gtest.h>

#include <string>

#include "support/test_support.h"

namespace kalvenor::testing {
namespace {

TEST(EndToEnd, HandWrittenCheckpointContinuesWithoutStartingAgain) {
    ScratchDir dir(false);
    writeFile(dir / "worktodo.txt", "FermatFactor=60,62,4294967297,4294977297\n");
    writeFile(dir / "kalvenor.cpt",
              "nCurrent=61\nkCurrent=4294970001\nkTested =100\nseconds =5.00\nfactors =0\n");
    const ProcessResult run = runKalvenor(dir.path());
    ASSERT_EQ(run.exitCode, 6) << run.out << run.err;
    EXPECT_NE(run.out.find("\nContinue range: n=60-62(61) and k=4294967297-4294977297(4294970001)\n"),
              std::string::npos)
        << run.out;
    EXPECT_EQ(run.out.find("Starting range"), std::string::npos);
    EXPECT_EQ(run.out.find("\nTesting for n = 60\n"), std::string::npos);
    EXPECT_NE(run.out.find("\nTesting for n = 61\n"), std::string::npos);
    EXPECT_NE(run.out.find("\nTesting for n = 62\n"), std::string::npos);
    const std::string results = readFile(dir / "results.txt");
    EXPECT_EQ(results.find("Starting range"), std::string::npos) << results;
    EXPECT_EQ(countOf(results, "Range is complete. No factors found.\n"), 1);
    EXPECT_FALSE(fileExists(dir / "kalvenor.cpt"));
}

TEST(EndToEnd, CheckpointOfAnotherLineIsRemovedAndTheRangeStartsAfresh) {
    ScratchDir dir(false);
    writeFile(dir / "worktodo.txt", "FermatFactor=60,60,4294967297,4294977297\n");
    writeFile(dir / "kalvenor.cpt",
              "nCurrent=75\nkCurrent=4294970001\nkTested =100\nseconds =5.00\nfactors =0\n");
    const ProcessResult run = runKalvenor(dir.path());
    ASSERT_EQ(run.exitCode, 6) << run.out << run.err;
    EXPECT_NE(run.out.find("\nThe current value for n (nCurrent) is outside of the range of n.\n"
                           "\nRemoved obsolete checkpoint file kalvenor.cpt and continue.\n"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("\nStarting range: n=60-60 and k=4294967297-4294977297\n"), std::string::npos);
}

TEST(EndToEnd, LineAcrossWindowsAndLevelsRunsPieceByPiece) {
    ScratchDir dir(false);
    // n = 62 fits the 96-bit kernel, n = 63 needs 128 bits, 64..65 belong to the next window.
    writeFile(dir / "worktodo.txt", "FermatFactor=62,65,8589934593,8589936593\nFermatFactor=127,127,3,9\n");
    const ProcessResult run = runKalvenor(dir.path());
    ASSERT_EQ(run.exitCode, 6) << run.out << run.err;
    const size_t first = run.out.find("GPU kernel                kalvenor96bit_n32_63\n");
    const size_t second = run.out.find("GPU kernel                kalvenor128bit_n32_63\n");
    const size_t third = run.out.find("GPU kernel                kalvenor128bit_n64_95\n");
    const size_t fourth = run.out.find("GPU kernel                kalvenor160bit_n96_127\n");
    ASSERT_NE(first, std::string::npos) << run.out;
    ASSERT_NE(second, std::string::npos) << run.out;
    ASSERT_NE(third, std::string::npos) << run.out;
    ASSERT_NE(fourth, std::string::npos) << run.out;
    EXPECT_LT(first, second);
    EXPECT_LT(second, third);
    EXPECT_LT(third, fourth);
    for (const char* n : {"62", "63", "64", "65", "127"})
        EXPECT_EQ(countOf(run.out, std::string("\nTesting for n = ") + n + "\n"), 1) << n;
    EXPECT_EQ(countOf(readFile(dir / "results.txt"), "Range is complete."), 4);
    EXPECT_EQ(countOf(run.out, "!!! Found factor 5*2^127+1 !!!"), 1);
    EXPECT_EQ(readFile(dir / "worktodo.txt"), "");
}

}  // namespace
}  // namespace kalvenor::testing
