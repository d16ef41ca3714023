// Cutting the first line of worktodo.txt: the lines written, byte for byte,
// the range left to run now, and what happens to the lines behind it.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <vector>

#include "support/test_support.h"
#include "workfile_helpers.h"
#include "workfiles/assignment_file.h"
#include "workfiles/assignment_line.h"
#include "workfiles/assignment_reading.h"

namespace kalvenor {
namespace {

using namespace std::string_literals;
using testing::capturedStdout;
using testing::readFile;
using testing::ScratchDir;
using testing::writeFile;

// Carried behind the new lines unchanged: CRLF, a NUL, no final newline.
const std::string kRemainder =
    "FermatFactor=100,100,3,5\r\n# not an assignment\0 with a NUL\n\nlast line without newline"s;

struct SplitCase {
    const char* name;
    std::string first;   // the file up to the remainder
    std::string lines;   // what takes its place
    Assignment runNow;   // the range in the state after the cut
    std::string remainder = kRemainder;
    std::string output = "";  // the parts left out, named
};

std::string untested(uint32_t nStart, uint32_t nEnd, uint64_t kStart, uint64_t kEnd) {
    return "\nn=" + std::to_string(nStart) + "-" + std::to_string(nEnd) + ", k=" + std::to_string(kStart) + "-" +
           std::to_string(kEnd) + ": not tested, no kernel for P below 2^64\n";
}

TEST(SplitAssignment, WritesTheCutLinesAndRunsTheFirst) {
    const std::string kHigh70 = "FermatFactor=70,70,144115188075855872,288230376151711744\n"
                                "FermatFactor=70,70,288230376151711744,576460752303423488\n";
    const Assignment kRunHigh70{70, 70, 144115188075855873u, 288230376151711744u};
    const std::vector<SplitCase> cases = {
        {"CrossUpperExponentBetweenFitsAndAllUpperAndWindowCut",
         "FermatFactor=40,100,549755813888,2199023255552\n",
         "FermatFactor=40,55,549755813888,2199023255552\n"
         "FermatFactor=56,56,549755813888,1099511627776\n"
         "FermatFactor=56,56,1099511627776,2199023255552\n"
         "FermatFactor=57,63,549755813888,2199023255552\n"
         "FermatFactor=64,100,549755813888,2199023255552\n",  // over two windows, yet one line
         {40, 55, 549755813889u, 2199023255552u}},
        {"SingleExponentCrossingKHighGivesLowerThenUpper",
         "FermatFactor=70,70,144115188075855872,576460752303423488\n", kHigh70, kRunHigh70},
        // kStart = kLow is even, so the run starts at the next odd multiplier.
        {"EveryExponentCrossingKLowGetsItsOwnLine", "FermatFactor=45,47,1024,1073741824\n",
         "FermatFactor=45,45,524288,1073741824\n"
         "FermatFactor=46,46,262144,1073741824\n"
         "FermatFactor=47,47,131072,1073741824\n",
         {45, 45, 524289u, 1073741824u}, kRemainder,
         untested(45, 45, 1024, 524287) + untested(46, 46, 1024, 262143) + untested(47, 47, 1024, 131071)},
        {"UpperEdgeCutsOffTheAllUpperExponents", "FermatFactor=40,63,412316860416,549755813888\n",
         "FermatFactor=40,57,412316860416,549755813888\n"
         "FermatFactor=58,63,412316860416,549755813888\n",
         {40, 57, 412316860417u, 549755813888u}},
        {"TopWindowHasAnUpperLevelToo", "FermatFactor=576,580,1099511627776,4611686018427387904\n",
         "FermatFactor=576,578,1099511627776,4611686018427387904\n"
         "FermatFactor=579,579,1099511627776,2305843009213693952\n"
         "FermatFactor=579,579,2305843009213693952,4611686018427387904\n"
         "FermatFactor=580,580,1099511627776,1152921504606846976\n"
         "FermatFactor=580,580,1152921504606846976,4611686018427387904\n",
         {576, 578, 1099511627777u, 4611686018427387904u}},
        {"LineInOneLevelKeepsItsByteOrderMark",
         "\xEF\xBB\xBF" "FermatFactor=70,70,1000000000000,2000000000000\n",
         "\xEF\xBB\xBF" "FermatFactor=70,70,1000000000000,2000000000000\n",
         {70, 70, 1000000000001u, 2000000000000u}},
        {"OneExponentPastTheWindowIsCutOff", "FermatFactor=32,64,4294967297,8589934591\n",
         "FermatFactor=32,63,4294967297,8589934591\nFermatFactor=64,64,4294967297,8589934591\n",
         {32, 63, 4294967297u, 8589934591u}},
        {"TopWindowKeepsItsAllUpperExponents",
         "FermatFactor=576,600,4611686018427387905,4611686018427387907\n",
         "FermatFactor=576,577,4611686018427387905,4611686018427387907\n"
         "FermatFactor=578,600,4611686018427387905,4611686018427387907\n",
         {576, 577, 4611686018427387905u, 4611686018427387907u}},
        // kLow is 2, 4, 8, 16 at n = 63, 62, 61, 60: only 60 is crossed.
        {"FitsAboveACutAtKLowGetTheirOwnLine", "FermatFactor=60,63,9,1000\n",
         "FermatFactor=60,60,16,1000\nFermatFactor=61,63,9,1000\n", {60, 60, 17, 1000}, kRemainder, untested(60, 60, 9, 15)},
        {"ExponentsWhollyBelowKLowAreDropped", "FermatFactor=58,63,9,15\n", "FermatFactor=61,63,9,15\n",
         {61, 63, 9, 15}, kRemainder, untested(58, 60, 9, 15)},
        {"LargestMultiplierAtTheWindowStartRunsOnTheLowerLevel",
         "FermatFactor=32,40,18446744073709551615,18446744073709551615\n",
         "FermatFactor=32,32,18446744073709551615,18446744073709551615\n"
         "FermatFactor=33,40,18446744073709551615,18446744073709551615\n",
         {32, 32, UINT64_MAX, UINT64_MAX}},
        {"ByteOrderMarkIsDroppedFromTheRewrittenFile",
         "\xEF\xBB\xBF" "FermatFactor=70,70,144115188075855872,576460752303423488\n", kHigh70, kRunHigh70},
        {"LastLineOfTheFileWithoutNewline", "FermatFactor=70,70,144115188075855872,576460752303423488",
         kHigh70, kRunHigh70, ""},
    };
    for (const SplitCase& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDir dir;
        writeFile("worktodo.txt", c.first + c.remainder);
        const timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, "worktodo.txt", old, 0), 0);
        RunState state;
        AssignmentStatus code = AssignmentStatus::Unreadable;
        const std::string output =
            capturedStdout([&] { code = readAndSplitAssignment("worktodo.txt", state); });
        EXPECT_EQ(code, AssignmentStatus::Ready);
        EXPECT_EQ(output, c.output);
        EXPECT_EQ(testing::countOf(readFile("results.txt"), "not tested"), testing::countOf(c.output, "not tested"));
        EXPECT_EQ(readFile("worktodo.txt"), c.lines + c.remainder);
        if (c.lines == c.first) {  // no cut: not even the modification time moves
            struct stat after {};
            ASSERT_EQ(::stat("worktodo.txt", &after), 0);
            EXPECT_EQ(after.st_mtim.tv_sec, 1000000000);
            EXPECT_EQ(after.st_mtim.tv_nsec, 0);
        }
        EXPECT_EQ(testing::rangeOf(state), testing::rangeOf(c.runNow));
    }
}

TEST(SplitAssignment, FailedRewriteLeavesTheFileAndRunsNothing) {
    ScratchDir dir;
    const std::string content = "FermatFactor=40,100,549755813888,2199023255552\n" + kRemainder;
    writeFile("worktodo.txt", content);
    const testing::ProcessResult child = testing::withFileLimit(64, [] {
        RunState state;
        return static_cast<int>(readAssignment("worktodo.txt", state));
    });
    EXPECT_EQ(child.exitCode, static_cast<int>(AssignmentStatus::WriteFailed));
    EXPECT_EQ(child.out.find("Starting range"), std::string::npos) << child.out;
    testing::expectRewriteFailed(child, "worktodo.txt", content);  // no results.txt either
}

}  // namespace
}  // namespace kalvenor
