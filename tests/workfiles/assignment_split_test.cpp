// Cutting the first line of worktodo.txt: the lines written, byte for byte,
// the range left to run now, and what happens to the lines behind it.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <filesystem>

#include "support/test_support.h"
#include "workfiles/assignment_file.h"
#include "workfiles/assignment_reading.h"
#include "workfile_helpers.h"

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

struct Split {
    int32_t code = -1;
    std::string file;
    RunState state;
    std::string output;
};

Split splitFile(const std::string& content) {
    writeFile("worktodo.txt", content);
    Split split;
    split.output = capturedStdout([&] { split.code = readAndSplitAssignment("worktodo.txt", split.state); });
    split.file = readFile("worktodo.txt");
    return split;
}

void expectRunNow(const RunState& state, uint32_t nStart, uint32_t nEnd, uint64_t kStart, uint64_t kEnd) {
    EXPECT_EQ(state.nStart, nStart);
    EXPECT_EQ(state.nEnd, nEnd);
    EXPECT_EQ(state.kStart, kStart);
    EXPECT_EQ(state.kEnd, kEnd);
}

TEST(SplitAssignment, CrossUpperExponentBetweenFitsAndAllUpperAndWindowCut) {
    ScratchDir dir;
    const Split s = splitFile("FermatFactor=40,100,549755813888,2199023255552\n" + kRemainder);
    EXPECT_EQ(s.code, kAssignmentReady);
    EXPECT_EQ(s.file,
              "FermatFactor=40,55,549755813888,2199023255552\n"
              "FermatFactor=56,56,549755813888,1099511627776\n"
              "FermatFactor=56,56,1099511627776,2199023255552\n"
              "FermatFactor=57,63,549755813888,2199023255552\n"
              "FermatFactor=64,100,549755813888,2199023255552\n" +
                  kRemainder);
    expectRunNow(s.state, 40, 55, 549755813889u, 2199023255552u);
    EXPECT_EQ(s.output, "");
}

TEST(SplitAssignment, SingleExponentCrossingKHighGivesLowerThenUpper) {
    ScratchDir dir;
    const Split s = splitFile("FermatFactor=70,70,144115188075855872,576460752303423488\n" + kRemainder);
    EXPECT_EQ(s.code, kAssignmentReady);
    EXPECT_EQ(s.file,
              "FermatFactor=70,70,144115188075855872,288230376151711744\n"
              "FermatFactor=70,70,288230376151711744,576460752303423488\n" +
                  kRemainder);
    expectRunNow(s.state, 70, 70, 144115188075855873u, 288230376151711744u);
}

TEST(SplitAssignment, EveryExponentCrossingKLowGetsItsOwnLine) {
    ScratchDir dir;
    const Split s = splitFile("FermatFactor=45,47,1024,1073741824\n" + kRemainder);
    EXPECT_EQ(s.code, kAssignmentReady);
    EXPECT_EQ(s.file,
              "FermatFactor=45,45,524288,1073741824\n"
              "FermatFactor=46,46,262144,1073741824\n"
              "FermatFactor=47,47,131072,1073741824\n" +
                  kRemainder);
    // kStart = kLow is even, so the run starts at the next odd multiplier.
    expectRunNow(s.state, 45, 45, 524289u, 1073741824u);
}

TEST(SplitAssignment, UpperEdgeCutsOffTheAllUpperExponents) {
    ScratchDir dir;
    const Split s = splitFile("FermatFactor=40,63,412316860416,549755813888\n" + kRemainder);
    EXPECT_EQ(s.code, kAssignmentReady);
    EXPECT_EQ(s.file,
              "FermatFactor=40,57,412316860416,549755813888\n"
              "FermatFactor=58,63,412316860416,549755813888\n" +
                  kRemainder);
    expectRunNow(s.state, 40, 57, 412316860417u, 549755813888u);
}

TEST(SplitAssignment, TopWindowWritesNoUpperLines) {
    ScratchDir dir;
    const Split s = splitFile("FermatFactor=576,580,1099511627776,4611686018427387904\n" + kRemainder);
    EXPECT_EQ(s.code, kAssignmentReady);
    EXPECT_EQ(s.file,
              "FermatFactor=576,578,1099511627776,4611686018427387904\n"
              "FermatFactor=579,579,1099511627776,2305843009213693952\n"
              "FermatFactor=580,580,1099511627776,1152921504606846976\n" +
                  kRemainder);
    expectRunNow(s.state, 576, 578, 1099511627777u, 4611686018427387904u);
}

TEST(SplitAssignment, LineInOneLevelLeavesBytesAndModificationTimeAlone) {
    ScratchDir dir;
    const std::string content = "\xEF\xBB\xBF" "FermatFactor=70,70,1000000000000,2000000000000\n" + kRemainder;
    writeFile("worktodo.txt", content);
    const timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, "worktodo.txt", old, 0), 0);

    RunState state;
    capturedStdout([&] { EXPECT_EQ(readAndSplitAssignment("worktodo.txt", state), kAssignmentReady); });
    struct stat after {};
    ASSERT_EQ(::stat("worktodo.txt", &after), 0);
    EXPECT_EQ(after.st_mtim.tv_sec, 1000000000);
    EXPECT_EQ(after.st_mtim.tv_nsec, 0);
    EXPECT_EQ(readFile("worktodo.txt"), content);
    expectRunNow(state, 70, 70, 1000000000001u, 2000000000000u);
}

TEST(SplitAssignment, LineOverThreeWindowsIsCutOnce) {
    ScratchDir dir;
    const Split s = splitFile("FermatFactor=40,120,549755813888,2199023255552\n" + kRemainder);
    EXPECT_EQ(s.file,
              "FermatFactor=40,55,549755813888,2199023255552\n"
              "FermatFactor=56,56,549755813888,1099511627776\n"
              "FermatFactor=56,56,1099511627776,2199023255552\n"
              "FermatFactor=57,63,549755813888,2199023255552\n"
              "FermatFactor=64,120,549755813888,2199023255552\n" +
                  kRemainder);
}

TEST(SplitAssignment, LastExponentOfAWindowIsNoCut) {
    ScratchDir dir;
    const std::string content = "FermatFactor=40,63,16777217,1000000000\n" + kRemainder;
    const Split s = splitFile(content);
    EXPECT_EQ(s.file, content);
    expectRunNow(s.state, 40, 63, 16777217, 1000000000);
}

TEST(SplitAssignment, OneExponentPastTheWindowIsCutOff) {
    ScratchDir dir;
    const Split s = splitFile("FermatFactor=32,64,4294967297,8589934591\n" + kRemainder);
    EXPECT_EQ(s.file,
              "FermatFactor=32,63,4294967297,8589934591\n"
              "FermatFactor=64,64,4294967297,8589934591\n" +
                  kRemainder);
    expectRunNow(s.state, 32, 63, 4294967297u, 8589934591u);
}

TEST(SplitAssignment, LineStartingOnAWindowIsCutAtTheNext) {
    ScratchDir dir;
    const Split s = splitFile("FermatFactor=64,200,4294967297,8589934591\n" + kRemainder);
    EXPECT_EQ(s.file,
              "FermatFactor=64,95,4294967297,8589934591\n"
              "FermatFactor=96,200,4294967297,8589934591\n" +
                  kRemainder);
}

TEST(SplitAssignment, TopWindowDropsItsAllUpperExponents) {
    ScratchDir dir;
    const Split s = splitFile("FermatFactor=576,600,4611686018427387905,4611686018427387907\n" + kRemainder);
    EXPECT_EQ(s.file, "FermatFactor=576,577,4611686018427387905,4611686018427387907\n" + kRemainder);
}

TEST(SplitAssignment, FitsAboveACutAtKLowGetTheirOwnLine) {
    ScratchDir dir;
    // kLow is 2, 4, 8, 16 at n = 63, 62, 61, 60: only 60 is crossed.
    const Split s = splitFile("FermatFactor=60,63,9,1000\n" + kRemainder);
    EXPECT_EQ(s.file,
              "FermatFactor=60,60,16,1000\n"
              "FermatFactor=61,63,9,1000\n" +
                  kRemainder);
    expectRunNow(s.state, 60, 60, 17, 1000);
}

TEST(SplitAssignment, ExponentsWhollyBelowKLowAreDropped) {
    ScratchDir dir;
    const Split s = splitFile("FermatFactor=58,63,9,15\n" + kRemainder);
    EXPECT_EQ(s.file, "FermatFactor=61,63,9,15\n" + kRemainder);
    expectRunNow(s.state, 61, 63, 9, 15);
}

TEST(SplitAssignment, KStartAtKLowIsNoCrossing) {
    ScratchDir dir;
    const std::string content = "FermatFactor=45,47,524288,1073741824\n" + kRemainder;
    const Split s = splitFile(content);
    EXPECT_EQ(s.file, content);
}

TEST(SplitAssignment, LargestMultiplierAtTheWindowStartRunsOnTheLowerLevel) {
    ScratchDir dir;
    // At n = 32 the P of 2^64-1 has the lower word count; at 33 ... 40 the upper.
    const Split s = splitFile("FermatFactor=32,40,18446744073709551615,18446744073709551615\n" + kRemainder);
    EXPECT_EQ(s.file,
              "FermatFactor=32,32,18446744073709551615,18446744073709551615\n"
              "FermatFactor=33,40,18446744073709551615,18446744073709551615\n" +
                  kRemainder);
    expectRunNow(s.state, 32, 32, UINT64_MAX, UINT64_MAX);
}

TEST(SplitAssignment, RestOfAnOverlongFirstLineIsKeptBehindTheNewLines) {
    ScratchDir dir;
    std::string first = "FermatFactor=70,70,144115188075855872,576460752303423488";
    first += std::string(99 - first.size(), ' ');
    const std::string rest = "the rest of the long line\n";
    const Split s = splitFile(first + rest + kRemainder);
    EXPECT_EQ(s.file,
              "FermatFactor=70,70,144115188075855872,288230376151711744\n"
              "FermatFactor=70,70,288230376151711744,576460752303423488\n" +
                  rest + kRemainder);
}

TEST(SplitAssignment, ByteOrderMarkIsDroppedFromTheRewrittenFile) {
    ScratchDir dir;
    const Split s =
        splitFile("\xEF\xBB\xBF" "FermatFactor=70,70,144115188075855872,576460752303423488\n" + kRemainder);
    EXPECT_EQ(s.file,
              "FermatFactor=70,70,144115188075855872,288230376151711744\n"
              "FermatFactor=70,70,288230376151711744,576460752303423488\n" +
                  kRemainder);
}

TEST(SplitAssignment, LastLineOfTheFileWithoutNewline) {
    ScratchDir dir;
    const Split s = splitFile("FermatFactor=70,70,144115188075855872,576460752303423488");
    EXPECT_EQ(s.file,
              "FermatFactor=70,70,144115188075855872,288230376151711744\n"
              "FermatFactor=70,70,288230376151711744,576460752303423488\n");
}

TEST(SplitAssignment, FailedRewriteLeavesTheFileAndRunsNothing) {
    ScratchDir dir;
    const std::string content = "FermatFactor=40,100,549755813888,2199023255552\n" + kRemainder;
    writeFile("worktodo.txt", content);
    const testing::ChildOutcome child = testing::runWithFileSizeLimit(64, [] {
        RunState state;
        return static_cast<int>(readAssignment("worktodo.txt", state));
    });
    EXPECT_EQ(child.exitCode, kWorkFileWriteFailed);
    EXPECT_EQ(readFile("worktodo.txt"), content);
    EXPECT_NE(child.err.find("Can't rewrite worktodo.txt"), std::string::npos) << child.err;
    EXPECT_NE(child.err.find("File too large"), std::string::npos) << child.err;
    EXPECT_EQ(child.out.find("Starting range"), std::string::npos) << child.out;
    EXPECT_FALSE(testing::fileExists("results.txt"));
    size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir.path())) ++entries;
    EXPECT_EQ(entries, 1u) << "the temporary file is cleaned up";
}

}  // namespace
}  // namespace kalvenor
