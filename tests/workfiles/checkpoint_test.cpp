// The checkpoint: which files are taken up, how the run continues from them,
// and what writeCheckpoint and advanceCheckpoint leave behind.
#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <tuple>
#include <vector>

#include "support/test_support.h"
#include "workfiles/assignment_file.h"
#include "workfiles/checkpoint.h"
#include "workfiles/log_files.h"
#include "workfile_helpers.h"

namespace kalvenor {
namespace {

using namespace std::string_literals;
using testing::capturedStdout;
using testing::readFile;
using testing::ScratchDir;
using testing::writeFile;

const std::string kNOutside = "\nThe current value for n (nCurrent) is outside of the range of n.\n";
const std::string kKOutside = "\nThe current value for k (kCurrent) is outside of the range of k.\n";
const std::string kRange = "FermatFactor=93,95,11,1001\n";  // one window, lower level throughout
const std::string kStarting = "\nStarting range: n=93-95 and k=11-1001\n";

std::string continuing(uint32_t nCurrent, uint64_t kCurrent) {
    return "\nContinue range: n=93-95(" + std::to_string(nCurrent) + ") and k=11-1001(" +
           std::to_string(kCurrent) + ")\n";
}

// The five lines in the order and spelling writeCheckpoint uses.
std::string cpt(uint32_t n, uint64_t k, uint64_t tested, const std::string& seconds, int32_t factors) {
    return "nCurrent=" + std::to_string(n) + "\nkCurrent=" + std::to_string(k) + "\nkTested =" +
           std::to_string(tested) + "\nseconds =" + seconds + "\nfactors =" + std::to_string(factors) + "\n";
}

// nCurrent, kCurrent, kTested, seconds, factors
using Progress = std::tuple<uint32_t, uint64_t, uint64_t, double, int32_t>;

// Before the restore the state holds leftovers, which a missing key keeps.
constexpr uint64_t kOldTested = 777;
constexpr double kOldSeconds = 9.25;
constexpr int32_t kOldFactors = 4;

struct RestoreCase {
    const char* name;
    std::optional<std::string> checkpoint;
    int32_t code;
    std::string output;
    Progress progress{};  // checked on code 0
    std::string line = kRange;
};

class RestoreCheckpoint : public ::testing::TestWithParam<RestoreCase> {};

TEST_P(RestoreCheckpoint, DecidesHowTheRangeGoesOn) {
    const RestoreCase& c = GetParam();
    ScratchDir dir;
    if (c.checkpoint) writeFile(kCheckpointPath, *c.checkpoint);
    RunState state;
    state.kTested = kOldTested;
    state.seconds = kOldSeconds;
    state.factors = kOldFactors;
    int32_t code = -1;
    EXPECT_EQ(testing::readAssignmentOf(c.line, state, code), c.output);
    EXPECT_EQ(code, c.code);
    if (c.code == kAssignmentReady) {
        EXPECT_EQ(Progress(state.nCurrent, state.kCurrent, state.kTested, state.seconds, state.factors),
                  c.progress);
    }
    const std::string log = readFile(kResultsPath);
    if (c.code == kAssignmentReady && c.output.starts_with("\nStarting")) {
        ASSERT_EQ(log.size(), 25 + c.output.size() - 1) << log;
        EXPECT_EQ(log[24], '\n');  // the time stamp's own line end
        EXPECT_EQ(log.substr(25), c.output.substr(1));
    } else {
        EXPECT_EQ(log, "") << "only a fresh start is logged";
    }
    if (c.checkpoint) {
        EXPECT_EQ(readFile(kCheckpointPath), *c.checkpoint) << "never repaired";
    }
}

constexpr int32_t kMismatch = kCheckpointMismatch;
const std::string kEvenKStart = "FermatFactor=93,95,10,1001\n";

INSTANTIATE_TEST_SUITE_P(
    Files, RestoreCheckpoint,
    ::testing::ValuesIn(std::vector<RestoreCase>{
        {"NoCheckpoint", std::nullopt, 0, kStarting, {93, 11, 0, 0.0, 0}},
        {"NextExponent", cpt(94, 501, 5, "61.50", 2), 0, continuing(94, 501), {94, 501, 5, 61.5, 2}},
        {"SameExponent", cpt(93, 501, 5, "61.50", 0), 0, continuing(93, 501), {93, 501, 5, 61.5, 0}},
        {"AtTheVeryStart", cpt(93, 11, 0, "0.00", 0), 0, kStarting, {93, 11, 0, 0.0, 0}},
        {"NCurrentAboveNEnd", "nCurrent=97\nkCurrent=501\n", kMismatch, kNOutside},
        {"NCurrentBelowNStart", "nCurrent=92\nkCurrent=501\n", kMismatch, kNOutside},
        {"MissingKCurrent", "nCurrent=94\nkTested =5\nseconds =1.00\nfactors =0\n", kMismatch, kKOutside},
        {"KCurrentBelowKStart", "nCurrent=94\nkCurrent=9\n", kMismatch, kKOutside},
        {"WalkOfAnExponentFinished", cpt(94, 1003, 300, "70.00", 2), 0, continuing(95, 11),
         {95, 11, 0, 0.0, 2}},
        {"WalkOfTheLastExponentFinished", cpt(95, 1003, 300, "70.00", 2), 0, continuing(96, 11),
         {96, 11, 0, 0.0, 2}},
        {"WalkFinishedAtEvenKEnd", cpt(94, 1001, 3, "70.00", 0), 0,
         "\nContinue range: n=93-95(95) and k=11-1000(11)\n", {95, 11, 0, 0.0, 0},
         "FermatFactor=93,95,11,1000\n"},
        {"KCurrentFurtherPastKEnd", "nCurrent=94\nkCurrent=1005\n", kMismatch, kKOutside},
        {"KCurrentPastKEndWithoutNCurrent", "kCurrent=1003\n", kMismatch, kNOutside},
        {"LargeKTested", cpt(94, 151, 12345678901234ull, "61.50", 7), 0, continuing(94, 151),
         {94, 151, 12345678901234ull, 61.5, 7}},
        {"RangeFinished", cpt(96, 11, 0, "0.00", 3), 0, continuing(96, 11), {96, 11, 0, 0.0, 3}},
        {"PastNEndInsideTheWalk", "nCurrent=96\nkCurrent=501\n", kMismatch, kNOutside},
        {"EvenKStartWithoutCheckpoint", std::nullopt, 0, kStarting, {93, 11, 0, 0.0, 0}, kEvenKStart},
        {"EvenKStartContinues", cpt(94, 11, 0, "0.00", 0), 0, continuing(94, 11), {94, 11, 0, 0.0, 0},
         kEvenKStart},
        {"OrderExtraLinesAndAKeyWithoutItsBlank",
         "factors =3\nsomething else\nkTested=99\nseconds =2.5\nncurrent=95\nnCurrent 95\n"
         "kCurrent=101\nnCurrent=94\n",
         0, continuing(94, 101), {94, 101, kOldTested, 2.5, 3}},
        {"LaterKeyWins", "nCurrent=93\nkCurrent=51\nkCurrent=101\nnCurrent=94\n", 0, continuing(94, 101),
         {94, 101, kOldTested, kOldSeconds, kOldFactors}},
        {"HexadecimalAndOctal", "nCurrent=0x5e\nkCurrent=0145\nkTested =0X10\nseconds =1e1\nfactors =010\n",
         0, continuing(94, 101), {94, 101, 16, 10.0, 8}},
        {"MissingNCurrentIsRefused", "kCurrent=101\n", kMismatch, kNOutside},
        {"Garbage", "\x01\x02garbage\n\0\0\nkCurrent\n"s, kMismatch, kNOutside},
        {"OverlongLineIsCut", "nCurrent=94\nkCurrent=" + std::string(89, '0') + "501\n", kMismatch,
         kKOutside}}),
    [](const ::testing::TestParamInfo<RestoreCase>& info) { return std::string(info.param.name); });

RunState runningState() {
    RunState state;
    state.nStart = 93;
    state.nEnd = 95;
    state.kStart = 11;
    state.kEnd = 210;
    state.numbers = 200;
    state.nCurrent = 94;
    state.kTested = 12345678901234ull;  // more than 32 bits, as RestoreCheckpoint/LargeKTested reads
    state.seconds = 61.5;
    state.factors = 7;
    state.clockMark = elapsedMilliseconds();
    return state;
}

std::string secondsText(double seconds) {
    std::string text(static_cast<size_t>(std::snprintf(nullptr, 0, "%.2f", seconds)), '\0');
    std::snprintf(text.data(), text.size() + 1, "%.2f", seconds);
    return text;
}

TEST(WriteCheckpoint, WritesFiveLinesAndThePercentageOfTheWholeRange) {
    // A hand-edited or damaged file can give seconds any value atof reads;
    // the next checkpoint must still hold all five lines.
    for (const double seconds : {61.5, 1e300, -1e300, 1e20}) {
        SCOPED_TRACE(seconds);
        ScratchDir dir;
        RunState state = runningState();
        state.seconds = seconds;
        const std::string output = capturedStdout([&] { writeCheckpoint(state, 111); });

        EXPECT_TRUE(output.starts_with("\nn=94: k to 111 (50.00% complete): rate=")) << output;
        EXPECT_TRUE(output.ends_with("/sec")) << "no newline at the end: " << output;
        EXPECT_GE(state.seconds, seconds);
        if (seconds > 0) {
            EXPECT_DOUBLE_EQ(state.rate, 100.0 / state.seconds);
        }
        EXPECT_EQ(readFile(kCheckpointPath), cpt(94, 111, 12345678901234ull, secondsText(state.seconds), 7));
    }
}

TEST(WriteCheckpoint, FailedWriteKeepsTheOldCheckpointAndGoesOn) {
    ScratchDir dir;
    const std::string old = cpt(93, 51, 1, "61.00", 0);
    writeFile(kCheckpointPath, old);
    const testing::ChildOutcome child = testing::runWithFileSizeLimit(16, [] {
        RunState state = runningState();
        writeCheckpoint(state, 111);
        return 0;
    });
    EXPECT_EQ(child.exitCode, 0);
    EXPECT_NE(child.out.find("\nn=94: k to 111 (50.00% complete)"), std::string::npos) << child.out;
    testing::expectRewriteFailed(child, kCheckpointPath, old);
}

// What it leaves after the last exponent is what RestoreCheckpoint/RangeFinished
// takes as a closed range.
TEST(AdvanceCheckpoint, MovesAnExistingCheckpointToTheNextExponent) {
    for (const uint32_t done : {94u, 95u}) {
        SCOPED_TRACE(done);
        ScratchDir dir;
        RunState state = runningState();
        state.nCurrent = done;
        state.factors = 2;
        advanceCheckpoint(state);
        EXPECT_FALSE(testing::fileExists(kCheckpointPath)) << "none to bring forward";
        writeFile(kCheckpointPath, "nCurrent=" + std::to_string(done) + "\nkCurrent=151\n");
        advanceCheckpoint(state);
        EXPECT_EQ(readFile(kCheckpointPath), cpt(done + 1, 11, 0, "0.00", 2));
    }
}

}  // namespace
}  // namespace kalvenor
