// What searchers' editors, scripts and accidents put into the work files,
// where the reader meets the cutting, the removal and the sieve: NUL bytes,
// CRLF and a byte-order mark on lines that are cut, endless lines, a
// directory where the file should be, multipliers at the very top of the
// 64-bit range. The real binary must take what it can, remove or refuse the
// rest with a message, and never crash or hang. (The readers' own cases are
// in the work-file tests and fuzz targets.)
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/test_support.h"

namespace kalvenor::testing {
namespace {

using namespace std::string_literals;

const std::string kF127 = "!!! Found factor 5*2^127+1 !!!\n";
const std::string kF252 = "!!! Found factor 403*2^252+1 !!!\n";
const std::string kNoKeyword = "\nRemoved a line that does not begin with FermatFactor= (case-sensitive).\n";
const std::string kBadValues = "\nRemoved a line with incorrect start or end values of k or n.\n";

// A wrap of the multiplier walk at 2^64 would never end: the time limit of
// every run turns that into a failure instead of a hung test.
const RunCase kOddCases[] = {
    {.name = "NulBytes", .worktodo = "FermatFactor=127,127,3,\0 2001\n\0\0\0\nFermatFactor=127,127,3,9\n"s,
     .factors = {kF127}, .out = {{kBadValues, 1}, {kNoKeyword, 1}}},
    {.name = "CrLfLineEnds",
     .worktodo = "FermatFactor=127,127,3,9\r\nFermatFactor=62,65,8589934593,8589936593\r\nFermatFactor=252,252,301,1001\r\n",
     .factors = {kF127, kF252}, .out = {{"Testing for n = 65\n", 1}}},
    {.name = "ByteOrderMarkOnALineThatIsCut",
     .worktodo = "\xEF\xBB\xBF" "FermatFactor=62,65,8589934593,8589936593\nFermatFactor=127,127,3,9\n",
     .factors = {kF127}, .out = {{"Testing for n = 64\n", 1}}},
    // Removed whole, in one rewrite, rather than read in pieces that might run.
    {.name = "LineOfThousandsOfCharacters",
     .worktodo = "FermatFactor=127,127,3,9" + std::string(5000, ' ') + "\nFermatFactor=252,252,301,1001\n",
     .factors = {kF252}, .out = {{"\nRemoved a line too long to be an assignment (more than 98 characters).\n", 1}}},
    {.name = "TopMultipliers",
     .worktodo = "FermatFactor=40,40,18446744073709551001,18446744073709551615\n"
                 "FermatFactor=64,64,18446744073709551001,18446744073709551615\n"
                 "FermatFactor=64,64,18446744073709551615,18446744073709551615\n"
                 "FermatFactor=63,64,18446744073709551613,18446744073709551615\n",
     .out = {{"Testing for n = 64\n", 3}, {"Testing for n = 63\n", 1}}},
    {.name = "TopMultiplierResumed", .worktodo = "FermatFactor=64,64,18446744073709551001,18446744073709551615\n",
     .checkpoint = "nCurrent=64\nkCurrent=18446744073709551613\nkTested =5\nseconds =1.00\nfactors =0\n",
     .out = {{"Continue range: n=64-64(64) and k=18446744073709551001-18446744073709551615(18446744073709551613)\n", 1}}},
    // A crash mid-rewrite leaves the program's temporary files; only those of
    // a process that is gone are removed, and nothing of another name.
    {.name = "TemporariesLeftByACrash", .worktodo = "FermatFactor=127,127,3,9\n",
     .prepare = [](const std::filesystem::path& dir) {
         for (const char* name : {"worktodo.txt.tmp-99999999-123", "kalvenor.cpt.tmp-99999998-7", "kalvenor.cpt.tmp-1-7",
                                  "worktodo.txt.tmp-notes", "results.txt.tmp-99999999-1"})
             writeFile(dir / name, "FermatFactor=252,252,301,1001\n");
     },
     .factors = {kF127},
     .out = {{"\nRemoved worktodo.txt.tmp-99999999-123, left behind by a run that ended while it rewrote worktodo.txt.\n", 1},
             {"\nRemoved kalvenor.cpt.tmp-99999998-7, left behind", 1}, {"Removed", 2}},
     .more = [](const std::filesystem::path& dir, const ProcessResult&) {
         for (const char* name : {"worktodo.txt.tmp-99999999-123", "kalvenor.cpt.tmp-99999998-7"})
             EXPECT_FALSE(fileExists(dir / name)) << name;
         for (const char* name : {"kalvenor.cpt.tmp-1-7", "worktodo.txt.tmp-notes", "results.txt.tmp-99999999-1"})
             EXPECT_TRUE(fileExists(dir / name)) << name;
     }},
};

class OddInput : public ::testing::TestWithParam<RunCase> {};

TEST_P(OddInput, IsTakenOrRefusedWithoutACrash) { expectRun(GetParam()); }

INSTANTIATE_TEST_SUITE_P(Files, OddInput, ::testing::ValuesIn(kOddCases), kCaseName);

TEST(OddInput, DirectoryInPlaceOfTheWorkFileIsRefusedWithAMessage) {
    ScratchDir dir(false);
    std::filesystem::create_directory(dir / "worktodo.txt");
    const ProcessResult run = runKalvenor(dir.path());
    EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
    EXPECT_NE(run.err.find("Can't open worktodo file: Is a directory"), std::string::npos) << run.err;
    EXPECT_TRUE(std::filesystem::is_directory(dir / "worktodo.txt"));
}

}  // namespace
}  // namespace kalvenor::testing
