// The first line of worktodo.txt: which lines readAssignment accepts with
// which values, which it refuses with which code and message, and what
// removeFirstLine leaves of the file and the checkpoint.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/test_support.h"
#include "workfiles/assignment_file.h"
#include "workfiles/assignment_line.h"
#include "workfiles/checkpoint.h"
#include "workfile_helpers.h"

namespace kalvenor {
namespace {

using namespace std::string_literals;
using testing::readFile;
using testing::ScratchDir;
using testing::writeFile;

struct ReadCase {
    const char* name;
    std::string file;
    int32_t code;
    std::string refusal;  // all that is printed when refused
    Assignment values{};  // the run now when accepted
};

std::string starting(const Assignment& a) {
    return "\nStarting range: n=" + std::to_string(a.nStart) + "-" + std::to_string(a.nEnd) +
           " and k=" + std::to_string(a.kStart) + "-" + std::to_string(a.kEnd) + "\n";
}

// Its first 99 characters are the line; the rest is the next one.
const std::string kLongLine = "FermatFactor=63,63,3,5" + std::string(77, ' ') + "FermatFactor=70,70,3,5\n";
const std::string kN = kNRangeMessage;
const std::string kNEnd = kNEndMessage;
const std::string kK = kKRangeMessage;
const std::string kKEnd = kKEndMessage;

class ReadAssignment : public ::testing::TestWithParam<ReadCase> {};

TEST_P(ReadAssignment, JudgesTheFirstLine) {
    const ReadCase& c = GetParam();
    ScratchDir dir;
    RunState state;
    int32_t code = -1;
    const std::string output = testing::readAssignmentOf(c.file, state, code);

    EXPECT_EQ(code, c.code);
    if (c.code == kAssignmentReady) {
        EXPECT_EQ(output, starting(c.values));
        EXPECT_EQ(testing::rangeOf(state), testing::rangeOf(c.values));
        EXPECT_EQ(state.nCurrent, c.values.nStart);
        EXPECT_EQ(state.kCurrent, c.values.kStart);
    } else {
        EXPECT_EQ(output, c.refusal);
        EXPECT_EQ(readFile("worktodo.txt"), c.file) << "a refused line is never repaired";
        EXPECT_FALSE(testing::fileExists("results.txt"));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Lines, ReadAssignment,
    ::testing::ValuesIn(std::vector<ReadCase>{
        {"OneExponentOneMultiplier", "FermatFactor=63,63,3,3\n", 0, "", {63, 63, 3, 3}},
        {"NoKernelStillAccepted", "FermatFactor=32,32,3,3\n", 0, "", {32, 32, 3, 3}},
        {"LeadingBlanksAndTab", "  \t FermatFactor=63,63,3,3\n", 0, "", {63, 63, 3, 3}},
        {"LowerCaseKeyword", "fermatfactor=63,63,3,3\n", kNoKeyword, ""},
        {"BlankBeforeEquals", "FermatFactor =63,63,3,3\n", kNoKeyword, ""},
        {"EmptyLine", "\nFermatFactor=63,63,3,3\n", kBlankLine, ""},
        {"OnlyBlanks", "     \t\r\n", kBlankLine, ""},
        {"OnlyBlanksNoNewline", "   ", kBlankLine, ""},
        {"EmptyFile", "", kNoAssignment, ""},
        {"OnlyByteOrderMark", "\xEF\xBB\xBF", kNoAssignment, ""},
        {"BlanksAroundNumbers", "FermatFactor= 127 , 127 , 5 , 9\n", 0, "", {127, 127, 5, 9}},
        {"TextBetweenDigitsAndComma", "FermatFactor=63abc,63 x,3 y;,5 z\n", 0, "", {63, 63, 3, 5}},
        {"NStartBelow32", "FermatFactor=31,40,3,5\n", kBadValues, kN},
        {"NEndAbove607", "FermatFactor=600,608,3,5\n", kBadValues, kN},
        {"NEndBelowNStart", "FermatFactor=41,40,3,5\n", kBadValues, kNEnd},
        {"LineEndsAfterNStart", "FermatFactor=40\n", kBadValues, kNEnd},
        {"LineEndsAfterNEnd", "FermatFactor=40,63\n", kBadValues, kK},
        {"LineEndsAfterKStart", "FermatFactor=40,63,5\n", kBadValues, kKEnd},
        {"KStartOne", "FermatFactor=63,63,1,5\n", kBadValues, kK},
        {"KStartTwoToThe64", "FermatFactor=63,63,18446744073709551616,18446744073709551617\n",
         kBadValues, kK},
        {"KEndTwoToThe64", "FermatFactor=63,63,3,18446744073709551616\n", kBadValues, kK},
        {"KEndTwoBelowKStart", "FermatFactor=63,63,9,7\n", kBadValues, kKEnd},
        {"SingleEvenMultiplier", "FermatFactor=63,63,8,8\n", kBadValues, kKEnd},
        {"EvenKStartRaised", "FermatFactor=127,127,2,3\n", 0, "", {127, 127, 3, 3}},
        {"SingleOddMultiplier", "FermatFactor=127,127,7,7\n", 0, "", {127, 127, 7, 7}},
        {"KEndTwoToThe64MinusOne", "FermatFactor=96,96,4294967297,18446744073709551615\n", 0, "",
         {96, 96, 4294967297u, UINT64_MAX}},
        {"ByteOrderMark", "\xEF\xBB\xBF" "FermatFactor=63,63,3,3\n", 0, "", {63, 63, 3, 3}},
        {"CrLf", "FermatFactor=63,63,3,5\r\nFermatFactor=70,70,3,5\r\n", 0, "", {63, 63, 3, 5}},
        {"NulAfterKEnd", "FermatFactor=63,63,3,5\0,9\n"s, 0, "", {63, 63, 3, 5}},
        {"NulBeforeTheCommas", "FermatFactor=63\0,63,3,5\n"s, kBadValues, kNEnd},
        {"NulFirst", "\0FermatFactor=63,63,3,5\n"s, kNoKeyword, ""},
        // Only 99 characters are judged: kEnd's digits are cut after "12".
        {"LineOf120Characters",
         "FermatFactor=63,63,3," + std::string(76, ' ') + "12" + std::string(20, '9') + "\n", 0, "",
         {63, 63, 3, 12}},
        {"LongLine", kLongLine, 0, "", {63, 63, 3, 5}},
        {"KEndOfHundredsOfDigits", "FermatFactor=63,63,3," + std::string(300, '9') + "\n", kBadValues, kK},
        {"NStartOfSeventyDigits", "FermatFactor=" + std::string(70, '9') + ",40,3,5\n", kBadValues, kNEnd},
        {"LeadingZeros", "FermatFactor=" + std::string(60, '0') + "63,63,3,3\n", 0, "", {63, 63, 3, 3}},
        {"PlusSigns", "FermatFactor=+63,+63,+3,+5\n", 0, "", {63, 63, 3, 5}},
        {"MinusNStartWrapsAt32Bits", "FermatFactor=-4294967233,63,3,5\n", 0, "", {63, 63, 3, 5}},
        {"MinusNStartOverflowSaturates", "FermatFactor=-4294967296,63,3,5\n", kBadValues, kNEnd},
        {"MinusNStart", "FermatFactor=-63,63,3,5\n", kBadValues, kNEnd},
        {"MinusKStartWrapsAt64Bits", "FermatFactor=63,63,-3,5\n", kBadValues, kKEnd},
        // -1 is 2^64-1: accepted, and then cut at kHigh(63) = 2^33.
        {"MinusOneKEnd", "FermatFactor=63,63,3,-1\n", 0, "", {63, 63, 3, 8589934592u}}}),
    [](const ::testing::TestParamInfo<ReadCase>& info) { return std::string(info.param.name); });

struct RemovalCase {
    const char* name;
    std::string before;
    int32_t code;
    std::string after;
};

class RemoveFirstLine : public ::testing::TestWithParam<RemovalCase> {};

TEST_P(RemoveFirstLine, KeepsWhatFollowsTheFirstLine) {
    const RemovalCase& c = GetParam();
    for (const bool checkpoint : {true, false}) {  // a missing checkpoint is no error
        SCOPED_TRACE(checkpoint ? "with checkpoint" : "without checkpoint");
        ScratchDir dir;
        writeFile("worktodo.txt", c.before);
        if (checkpoint) writeFile(kCheckpointPath, "nCurrent=40\n");
        EXPECT_EQ(removeFirstLine("worktodo.txt"), c.code);
        EXPECT_EQ(readFile("worktodo.txt"), c.after);
        EXPECT_FALSE(testing::fileExists(kCheckpointPath));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Files, RemoveFirstLine,
    ::testing::ValuesIn(std::vector<RemovalCase>{
        {"OneLine", "FermatFactor=40,40,3,5\n", kWorkFileEmpty, ""},
        {"OneLineWithoutNewline", "FermatFactor=40,40,3,5", kWorkFileEmpty, ""},
        {"EmptyFile", "", kWorkFileEmpty, ""},
        {"TwoLines", "FermatFactor=40,40,3,5\nFermatFactor=41,41,3,5\n", kAssignmentReady,
         "FermatFactor=41,41,3,5\n"},
        {"BlankFirstLine", "\nFermatFactor=41,41,3,5", kAssignmentReady, "FermatFactor=41,41,3,5"},
        {"CrLfAndNulKept", "junk\r\nline\0two\r\n\0"s, kAssignmentReady, "line\0two\r\n\0"s},
        {"ByteOrderMarkGoesWithTheFirstLine", "\xEF\xBB\xBF" "FermatFactor=40,40,3,5\nnext\n",
         kAssignmentReady, "next\n"},
        {"LineOf120Characters", std::string(119, 'a') + "\nnext\n", kAssignmentReady,
         std::string(20, 'a') + "\nnext\n"},
        {"LineOf99CharactersExactly", std::string(98, 'a') + "\nnext\n", kAssignmentReady, "next\n"},
        {"LongLine", kLongLine, kAssignmentReady, "FermatFactor=70,70,3,5\n"}}),
    [](const ::testing::TestParamInfo<RemovalCase>& info) { return std::string(info.param.name); });

TEST(WorkFile, FailedRemovalLeavesTheFile) {
    ScratchDir dir;
    const std::string content = "FermatFactor=40,40,3,5\n" + std::string(200, 'x') + "\n";
    writeFile("worktodo.txt", content);
    const testing::ChildOutcome child =
        testing::runWithFileSizeLimit(16, [] { return static_cast<int>(removeFirstLine("worktodo.txt")); });
    EXPECT_EQ(child.exitCode, kWorkFileWriteFailed);
    testing::expectRewriteFailed(child, "worktodo.txt", content);
}

TEST(WorkFile, RemovalKeepsTheFilePermissions) {
    using std::filesystem::perms;
    ScratchDir dir;
    writeFile("worktodo.txt", "a\nb\n");
    std::filesystem::permissions("worktodo.txt", perms::owner_read | perms::owner_write);
    EXPECT_EQ(removeFirstLine("worktodo.txt"), kAssignmentReady);
    EXPECT_EQ(std::filesystem::status("worktodo.txt").permissions(), perms::owner_read | perms::owner_write);
}

TEST(WorkFile, MissingFileEndsTheProcess) {
    ScratchDir dir;
    RunState state;
    EXPECT_EXIT(readAssignment("worktodo.txt", state), ::testing::ExitedWithCode(1),
                "Can.t open worktodo file: No such file or directory");
    EXPECT_EXIT(removeFirstLine("worktodo.txt"), ::testing::ExitedWithCode(1),
                "Can.t open worktodo file: No such file or directory");
}

}  // namespace
}  // namespace kalvenor
