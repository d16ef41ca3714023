// What searchers' editors, scripts and accidents put into the work files:
// NUL bytes, CRLF, a byte-order mark, no final newline, endless lines and
// numbers, a directory where the file should be, a checkpoint of garbage,
// multipliers at the very top of the 64-bit range. The real binary must
// take what it can, remove or refuse the rest with a message, and never
// crash or hang.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace kalvenor::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

const std::string kF127 = "!!! Found factor 5*2^127+1 !!!\n";
const std::string kF252 = "!!! Found factor 403*2^252+1 !!!\n";
const std::string kNoKeyword = "\nRemoved a line that does not begin with FermatFactor= (case-sensitive).\n";
const std::string kBadValues = "\nRemoved a line with incorrect start or end values of k or n.\n";
const std::string kBlank = "\nRemoved blank line from worktodo file.\n";
const std::string kKOutside = "\nThe current value for k (kCurrent) is outside of the range of k.\n";
const std::string kNOutside = "\nThe current value for n (nCurrent) is outside of the range of n.\n";
const std::string kObsolete = "\nRemoved obsolete checkpoint file kalvenor.cpt and continue.\n";

std::string many(char c, size_t count) { return std::string(count, c); }

struct OddCase {
    const char* name;
    std::string worktodo;
    std::optional<std::string> checkpoint;
    int exitCode;
    std::vector<std::string> factors;  // each reported exactly once
    std::vector<std::pair<std::string, int>> console;  // text and how often it shows
};

const OddCase kOddCases[] = {
    {"NulBytes", "FermatFactor=127,127,3,\0 2001\n\0\0\0\nFermatFactor=127,127,3,9\n"s, std::nullopt, 6, {kF127},
     {{kBadValues, 1}, {kNoKeyword, 1}}},
    {"NoFinalNewline", "FermatFactor=252,252,301,1001\nFermatFactor=127,127,3,9", std::nullopt, 6, {kF252, kF127}, {}},
    {"CrLfLineEnds", "FermatFactor=127,127,3,9\r\nFermatFactor=62,65,8589934593,8589936593\r\nFermatFactor=252,252,301,1001\r\n",
     std::nullopt, 6, {kF127, kF252}, {{"Testing for n = 65\n", 1}}},
    {"ByteOrderMark", "\xEF\xBB\xBF" "FermatFactor=127,127,3,9\n", std::nullopt, 6, {kF127},
     {{"Starting range: n=127-127 and k=3-9\n", 1}}},
    {"ByteOrderMarkOnALineThatIsCut", "\xEF\xBB\xBF" "FermatFactor=62,65,8589934593,8589936593\nFermatFactor=127,127,3,9\n",
     std::nullopt, 6, {kF127}, {{"Testing for n = 64\n", 1}}},
    {"OnlyAByteOrderMark", "\xEF\xBB\xBF", std::nullopt, 1, {}, {{"No available assignments", 1}}},
    {"ThousandsOfBlanksBehindALine", "FermatFactor=127,127,3,9" + many(' ', 5000) + "\nFermatFactor=252,252,301,1001\n",
     std::nullopt, 6, {kF127, kF252}, {{kBlank, 50}}},
    {"ThousandsOfCharacters", many('x', 3000) + "\nFermatFactor=127,127,3,9\n", std::nullopt, 6, {kF127},
     {{kNoKeyword, 31}}},
    {"HundredsOfDigits", "FermatFactor=127,127,3," + many('7', 300) + "\nFermatFactor=" + many('9', 300) +
                             "\nFermatFactor=127,127,3,9\n",
     std::nullopt, 6, {kF127}, {{kBadValues, 2}}},
    {"CheckpointOfGarbage", "FermatFactor=127,127,3,2001\n", "\x01\x02\xff\0garbage\n\n"s, 6, {kF127},
     {{kNOutside, 1}, {kObsolete, 1}}},
    {"CheckpointInHexAndOctal", "FermatFactor=127,127,3,2001\n",
     "nCurrent=0x7f\nkCurrent=0145\nkTested =0x10\nseconds =010\nfactors =0\n", 6, {},
     {{"Continue range: n=127-127(127) and k=3-2001(101)\n", 1}}},
    {"CheckpointWithHugeNumbers", "FermatFactor=127,127,3,2001\n",
     "nCurrent=127\nkCurrent=" + many('9', 90) + "\nkTested =" + many('9', 90) + "\nseconds =1e300\nfactors =99999999999\n",
     6, {kF127}, {{kKOutside, 1}, {kObsolete, 1}}},
    {"CheckpointWithHugeTimeAndTally", "FermatFactor=127,127,3,2001\n",
     "nCurrent=127\nkCurrent=101\nkTested =" + many('9', 90) + "\nseconds =1e300\nfactors =-5\n", 6, {},
     {{"Continue range: n=127-127(127) and k=3-2001(101)\n", 1}}},
    {"CheckpointWithoutKCurrent", "FermatFactor=127,127,3,2001\n", "nCurrent=127\nkTested =5\n", 6, {kF127},
     {{kKOutside, 1}}},
    {"TopMultipliers", "FermatFactor=40,40,18446744073709551001,18446744073709551615\n"
                       "FermatFactor=64,64,18446744073709551001,18446744073709551615\n"
                       "FermatFactor=64,64,18446744073709551615,18446744073709551615\n"
                       "FermatFactor=63,64,18446744073709551613,18446744073709551615\n",
     std::nullopt, 6, {}, {{"Testing for n = 64\n", 3}, {"Testing for n = 63\n", 1}}},
    {"TopMultiplierResumed", "FermatFactor=64,64,18446744073709551001,18446744073709551615\n",
     "nCurrent=64\nkCurrent=18446744073709551613\nkTested =5\nseconds =1.00\nfactors =0\n", 6, {},
     {{"Continue range: n=64-64(64) and k=18446744073709551001-18446744073709551615(18446744073709551613)\n", 1}}},
};

void PrintTo(const OddCase& c, std::ostream* os) { *os << c.name; }

class OddInput : public ::testing::TestWithParam<OddCase> {};

TEST_P(OddInput, IsTakenOrRefusedWithoutACrash) {
    const OddCase& c = GetParam();
    ScratchDir dir(false);
    writeFile(dir / "worktodo.txt", c.worktodo);
    if (c.checkpoint) writeFile(dir / "kalvenor.cpt", *c.checkpoint);
    // A wrap of the multiplier walk at 2^64 would never end: the time limit
    // turns that into a failure instead of a hung test.
    const ProcessResult run = runKalvenor(dir.path(), "", 120);
    ASSERT_EQ(run.exitCode, c.exitCode) << run.out << run.err;
    const std::string factors = readFile(dir / "factors.txt");
    size_t entries = 0;
    for (const std::string& factor : c.factors) {
        EXPECT_EQ(countOf(factors, factor), 1) << factor << factors;
        EXPECT_EQ(countOf(run.out, factor), 1) << factor;
        ++entries;
    }
    EXPECT_EQ(static_cast<size_t>(countOf(factors, "!!! Found factor")), entries) << factors;
    for (const auto& [text, times] : c.console) {
        EXPECT_EQ(countOf(run.out, text), times) << text << "\n" << run.out;
    }
    if (c.exitCode == 6) {
        EXPECT_EQ(readFile(dir / "worktodo.txt"), "");
        EXPECT_FALSE(fileExists(dir / "kalvenor.cpt"));
    }
    EXPECT_EQ(run.err, "");
}

INSTANTIATE_TEST_SUITE_P(Files, OddInput, ::testing::ValuesIn(kOddCases),
                         [](const ::testing::TestParamInfo<OddCase>& info) {
                             return std::string(info.param.name);
                         });

TEST(OddInput, DirectoryInPlaceOfTheWorkFileIsRefusedWithAMessage) {
    ScratchDir dir(false);
    fs::create_directory(dir / "worktodo.txt");
    const ProcessResult run = runKalvenor(dir.path());
    EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
    EXPECT_NE(run.err.find("Can't open worktodo file: Is a directory"), std::string::npos) << run.err;
    EXPECT_TRUE(fs::is_directory(dir / "worktodo.txt"));
}

}  // namespace
}  // namespace kalvenor::testing
