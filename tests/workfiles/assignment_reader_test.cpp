// readAssignment on single first lines: which are accepted with which
// values, which are refused with which code and message.
#include <gtest/gtest.h>

#include <string>

#include "support/test_support.h"
#include "workfiles/assignment_file.h"
#include "workfiles/assignment_line.h"
#include "workfiles/checkpoint.h"
#include "workfile_helpers.h"

namespace kalvenor {
namespace {

using namespace std::string_literals;
using testing::capturedStdout;
using testing::readFile;
using testing::ScratchDir;
using testing::writeFile;

struct ReadCase {
    const char* name;
    std::string file;
    int32_t code;
    std::string output;  // everything printed
    Assignment values;   // the run now, checked on code 0
};

std::string starting(uint32_t nStart, uint32_t nEnd, const char* kStart, const char* kEnd) {
    return "\nStarting range: n=" + std::to_string(nStart) + "-" + std::to_string(nEnd) +
           " and k=" + kStart + "-" + kEnd + "\n";
}

const std::string kN = kNRangeMessage;
const std::string kNEnd = kNEndMessage;
const std::string kK = kKRangeMessage;
const std::string kKEnd = kKEndMessage;
const std::string kPadding77(77, 'x');

class ReadAssignment : public ::testing::TestWithParam<ReadCase> {};

TEST_P(ReadAssignment, JudgesTheFirstLine) {
    const ReadCase& c = GetParam();
    ScratchDir dir;
    writeFile("worktodo.txt", c.file);
    RunState state;
    int32_t code = -1;
    const std::string output = capturedStdout([&] { code = readAssignment("worktodo.txt", state); });

    EXPECT_EQ(code, c.code);
    EXPECT_EQ(output, c.output);
    if (c.code == kAssignmentReady) {
        EXPECT_EQ(state.nStart, c.values.nStart);
        EXPECT_EQ(state.nEnd, c.values.nEnd);
        EXPECT_EQ(state.kStart, c.values.kStart);
        EXPECT_EQ(state.kEnd, c.values.kEnd);
        EXPECT_EQ(state.nCurrent, c.values.nStart);
        EXPECT_EQ(state.kCurrent, c.values.kStart);
    } else {
        EXPECT_EQ(readFile("worktodo.txt"), c.file) << "a refused line is never repaired";
        EXPECT_FALSE(testing::fileExists("results.txt"));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Lines, ReadAssignment,
    ::testing::Values(
        ReadCase{"OneExponentOneMultiplier", "FermatFactor=63,63,3,3\n", 0, starting(63, 63, "3", "3"),
                 {63, 63, 3, 3}},
        ReadCase{"NoKernelStillAccepted", "FermatFactor=32,32,3,3\n", 0, starting(32, 32, "3", "3"),
                 {32, 32, 3, 3}},
        ReadCase{"LeadingBlanksAndTab", "  \t FermatFactor=63,63,3,3\n", 0,
                 starting(63, 63, "3", "3"), {63, 63, 3, 3}},
        ReadCase{"LowerCaseKeyword", "fermatfactor=63,63,3,3\n", kNoKeyword, "", {}},
        ReadCase{"BlankBeforeEquals", "FermatFactor =63,63,3,3\n", kNoKeyword, "", {}},
        ReadCase{"EmptyLine", "\nFermatFactor=63,63,3,3\n", kBlankLine, "", {}},
        ReadCase{"OnlyBlanks", "     \t\r\n", kBlankLine, "", {}},
        ReadCase{"OnlyBlanksNoNewline", "   ", kBlankLine, "", {}},
        ReadCase{"EmptyFile", "", kNoAssignment, "", {}},
        ReadCase{"OnlyByteOrderMark", "\xEF\xBB\xBF", kNoAssignment, "", {}},
        ReadCase{"BlanksAroundNumbers", "FermatFactor= 127 , 127 , 5 , 9\n", 0,
                 starting(127, 127, "5", "9"), {127, 127, 5, 9}},
        ReadCase{"TextBetweenDigitsAndComma", "FermatFactor=63abc,63 x,3 y;,5 z\n", 0,
                 starting(63, 63, "3", "5"), {63, 63, 3, 5}},
        ReadCase{"NStartBelow32", "FermatFactor=31,40,3,5\n", kBadValues, kN, {}},
        ReadCase{"NEndAbove607", "FermatFactor=600,608,3,5\n", kBadValues, kN, {}},
        ReadCase{"NEndBelowNStart", "FermatFactor=41,40,3,5\n", kBadValues, kNEnd, {}},
        ReadCase{"LineEndsAfterNStart", "FermatFactor=40\n", kBadValues, kNEnd, {}},
        ReadCase{"LineEndsAfterNEnd", "FermatFactor=40,63\n", kBadValues, kK, {}},
        ReadCase{"LineEndsAfterKStart", "FermatFactor=40,63,5\n", kBadValues, kKEnd, {}},
        ReadCase{"KStartOne", "FermatFactor=63,63,1,5\n", kBadValues, kK, {}},
        ReadCase{"KStartTwoToThe64", "FermatFactor=63,63,18446744073709551616,18446744073709551617\n",
                 kBadValues, kK, {}},
        ReadCase{"KEndTwoToThe64", "FermatFactor=63,63,3,18446744073709551616\n", kBadValues, kK, {}},
        ReadCase{"KEndTwoBelowKStart", "FermatFactor=63,63,9,7\n", kBadValues, kKEnd, {}},
        ReadCase{"SingleEvenMultiplier", "FermatFactor=63,63,8,8\n", kBadValues, kKEnd, {}},
        ReadCase{"EvenKStartRaised", "FermatFactor=127,127,2,3\n", 0, starting(127, 127, "3", "3"),
                 {127, 127, 3, 3}},
        ReadCase{"SingleOddMultiplier", "FermatFactor=127,127,7,7\n", 0, starting(127, 127, "7", "7"),
                 {127, 127, 7, 7}},
        ReadCase{"KEndTwoToThe64MinusOne", "FermatFactor=96,96,4294967297,18446744073709551615\n", 0,
                 starting(96, 96, "4294967297", "18446744073709551615"),
                 {96, 96, 4294967297u, UINT64_MAX}},
        ReadCase{"ByteOrderMark", "\xEF\xBB\xBF" "FermatFactor=63,63,3,3\n", 0,
                 starting(63, 63, "3", "3"), {63, 63, 3, 3}},
        ReadCase{"CrLf", "FermatFactor=63,63,3,5\r\nFermatFactor=70,70,3,5\r\n", 0,
                 starting(63, 63, "3", "5"), {63, 63, 3, 5}},
        ReadCase{"NulAfterKEnd", "FermatFactor=63,63,3,5\0,9\n"s, 0, starting(63, 63, "3", "5"),
                 {63, 63, 3, 5}},
        ReadCase{"NulBeforeTheCommas", "FermatFactor=63\0,63,3,5\n"s, kBadValues, kNEnd, {}},
        ReadCase{"NulFirst", "\0FermatFactor=63,63,3,5\n"s, kNoKeyword, "", {}},
        // Only 99 characters are judged: kEnd's digits are cut after "12".
        ReadCase{"LineOf120Characters",
                 "FermatFactor=63,63,3," + std::string(76, ' ') + "12" + std::string(20, '9') + "\n", 0,
                 starting(63, 63, "3", "12"), {63, 63, 3, 12}},
        ReadCase{"KEndOfHundredsOfDigits", "FermatFactor=63,63,3," + std::string(300, '9') + "\n",
                 kBadValues, kK, {}},
        ReadCase{"NStartOfSeventyDigits", "FermatFactor=" + std::string(70, '9') + ",40,3,5\n",
                 kBadValues, kNEnd, {}},
        ReadCase{"LeadingZeros", "FermatFactor=" + std::string(60, '0') + "63,63,3,3\n", 0,
                 starting(63, 63, "3", "3"), {63, 63, 3, 3}},
        ReadCase{"PlusSigns", "FermatFactor=+63,+63,+3,+5\n", 0, starting(63, 63, "3", "5"),
                 {63, 63, 3, 5}},
        ReadCase{"MinusNStartWrapsAt32Bits", "FermatFactor=-4294967233,63,3,5\n", 0,
                 starting(63, 63, "3", "5"), {63, 63, 3, 5}},
        ReadCase{"MinusNStartOverflowSaturates", "FermatFactor=-4294967296,63,3,5\n", kBadValues,
                 kNEnd, {}},
        ReadCase{"MinusNStart", "FermatFactor=-63,63,3,5\n", kBadValues, kNEnd, {}},
        ReadCase{"MinusKStartWrapsAt64Bits", "FermatFactor=63,63,-3,5\n", kBadValues, kKEnd, {}},
        // -1 is 2^64-1: accepted, and then cut at kHigh(63) = 2^33.
        ReadCase{"MinusOneKEnd", "FermatFactor=63,63,3,-1\n", 0, starting(63, 63, "3", "8589934592"),
                 {63, 63, 3, 8589934592u}}),
    [](const ::testing::TestParamInfo<ReadCase>& info) { return std::string(info.param.name); });

TEST(ReadAssignmentFile, RestOfALongLineIsTheNextLine) {
    ScratchDir dir;
    const std::string first = "FermatFactor=63,63,3,5" + std::string(77, ' ');
    writeFile("worktodo.txt", first + "FermatFactor=70,70,3,5\n");
    RunState state;
    capturedStdout([&] { EXPECT_EQ(readAssignment("worktodo.txt", state), kAssignmentReady); });
    EXPECT_EQ(state.nStart, 63u);
    EXPECT_EQ(removeFirstLine("worktodo.txt"), kAssignmentReady);
    EXPECT_EQ(readFile("worktodo.txt"), "FermatFactor=70,70,3,5\n");
    capturedStdout([&] { EXPECT_EQ(readAssignment("worktodo.txt", state), kAssignmentReady); });
    EXPECT_EQ(state.nStart, 70u);
}

TEST(ReadAssignmentFile, MissingFileEndsTheProcess) {
    ScratchDir dir;
    RunState state;
    EXPECT_EXIT(readAssignment("worktodo.txt", state), ::testing::ExitedWithCode(1),
                "Can.t open worktodo file: No such file or directory");
}

}  // namespace
}  // namespace kalvenor
