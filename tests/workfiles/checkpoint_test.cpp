// The checkpoint: which files are taken up, how the run continues from them,
// and what writeCheckpoint and advanceCheckpoint leave behind.
#include <gtest/gtest.h>

#include <cinttypes>
#include <optional>

#include "support/test_support.h"
#include "workfiles/assignment_file.h"
#include "workfiles/checkpoint.h"
#include "workfiles/log_files.h"
#include "workfile_helpers.h"

namespace kalvenor {
namespace {

using namespace std::string_literals;
using testing::capturedStdout;
using testing::fileExists;
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

struct Progress {
    uint32_t nCurrent;
    uint64_t kCurrent;
    uint64_t kTested;
    double seconds;
    int32_t factors;
};

// Before the restore the state holds leftovers, which a missing key keeps.
constexpr Progress kLeftover{0, 0, 777, 9.25, 4};

struct RestoreCase {
    const char* name;
    std::string line;
    std::optional<std::string> checkpoint;
    int32_t code;
    std::string output;
    Progress progress;  // checked on code 0
};

class RestoreCheckpoint : public ::testing::TestWithParam<RestoreCase> {};

TEST_P(RestoreCheckpoint, DecidesHowTheRangeGoesOn) {
    const RestoreCase& c = GetParam();
    ScratchDir dir;
    writeFile("worktodo.txt", c.line);
    if (c.checkpoint) writeFile(kCheckpointPath, *c.checkpoint);
    RunState state;
    state.kTested = kLeftover.kTested;
    state.seconds = kLeftover.seconds;
    state.factors = kLeftover.factors;

    int32_t code = -1;
    const std::string output = capturedStdout([&] { code = readAssignment("worktodo.txt", state); });
    EXPECT_EQ(code, c.code);
    EXPECT_EQ(output, c.output);
    if (c.code == kAssignmentReady) {
        EXPECT_EQ(state.nCurrent, c.progress.nCurrent);
        EXPECT_EQ(state.kCurrent, c.progress.kCurrent);
        EXPECT_EQ(state.kTested, c.progress.kTested);
        EXPECT_DOUBLE_EQ(state.seconds, c.progress.seconds);
        EXPECT_EQ(state.factors, c.progress.factors);
    }
    const std::string log = readFile(kResultsPath);
    const bool starts = c.code == kAssignmentReady && c.output.starts_with("\nStarting");
    if (starts) {
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

INSTANTIATE_TEST_SUITE_P(
    Files, RestoreCheckpoint,
    ::testing::Values(
        RestoreCase{"NoCheckpoint", kRange, std::nullopt, 0, kStarting, {93, 11, 0, 0.0, 0}},
        RestoreCase{"NextExponent", kRange,
                    "nCurrent=94\nkCurrent=501\nkTested =5\nseconds =61.50\nfactors =2\n", 0,
                    continuing(94, 501), {94, 501, 5, 61.5, 2}},
        RestoreCase{"SameExponent", kRange,
                    "nCurrent=93\nkCurrent=501\nkTested =5\nseconds =61.50\nfactors =0\n", 0,
                    continuing(93, 501), {93, 501, 5, 61.5, 0}},
        RestoreCase{"AtTheVeryStart", kRange,
                    "nCurrent=93\nkCurrent=11\nkTested =0\nseconds =0.00\nfactors =0\n", 0, kStarting,
                    {93, 11, 0, 0.0, 0}},
        RestoreCase{"NCurrentAboveNEnd", kRange, "nCurrent=97\nkCurrent=501\n", kCheckpointMismatch,
                    kNOutside, {}},
        RestoreCase{"NCurrentBelowNStart", kRange, "nCurrent=92\nkCurrent=501\n", kCheckpointMismatch,
                    kNOutside, {}},
        RestoreCase{"MissingKCurrent", kRange, "nCurrent=94\nkTested =5\nseconds =1.00\nfactors =0\n",
                    kCheckpointMismatch, kKOutside, {}},
        RestoreCase{"KCurrentBelowKStart", kRange, "nCurrent=94\nkCurrent=9\n", kCheckpointMismatch,
                    kKOutside, {}},
        RestoreCase{"WalkOfAnExponentFinished", kRange,
                    "nCurrent=94\nkCurrent=1003\nkTested =300\nseconds =70.00\nfactors =2\n", 0,
                    continuing(95, 11), {95, 11, 0, 0.0, 2}},
        RestoreCase{"WalkOfTheLastExponentFinished", kRange,
                    "nCurrent=95\nkCurrent=1003\nkTested =300\nseconds =70.00\nfactors =2\n", 0,
                    continuing(96, 11), {96, 11, 0, 0.0, 2}},
        RestoreCase{"WalkFinishedAtEvenKEnd", "FermatFactor=93,95,11,1000\n",
                    "nCurrent=94\nkCurrent=1001\nkTested =3\nseconds =70.00\nfactors =0\n", 0,
                    "\nContinue range: n=93-95(95) and k=11-1000(11)\n", {95, 11, 0, 0.0, 0}},
        RestoreCase{"KCurrentFurtherPastKEnd", kRange, "nCurrent=94\nkCurrent=1005\n",
                    kCheckpointMismatch, kKOutside, {}},
        RestoreCase{"KCurrentPastKEndWithoutNCurrent", kRange, "kCurrent=1003\n", kCheckpointMismatch,
                    kNOutside, {}},
        RestoreCase{"RangeFinished", kRange,
                    "nCurrent=96\nkCurrent=11\nkTested =0\nseconds =0.00\nfactors =3\n", 0,
                    continuing(96, 11), {96, 11, 0, 0.0, 3}},
        RestoreCase{"PastNEndInsideTheWalk", kRange, "nCurrent=96\nkCurrent=501\n",
                    kCheckpointMismatch, kNOutside, {}},
        RestoreCase{"EvenKStartWithoutCheckpoint", "FermatFactor=93,95,10,1001\n", std::nullopt, 0,
                    kStarting, {93, 11, 0, 0.0, 0}},
        RestoreCase{"EvenKStartContinues", "FermatFactor=93,95,10,1001\n",
                    "nCurrent=94\nkCurrent=11\nkTested =0\nseconds =0.00\nfactors =0\n", 0,
                    continuing(94, 11), {94, 11, 0, 0.0, 0}},
        RestoreCase{"OrderExtraLinesAndAKeyWithoutItsBlank", kRange,
                    "factors =3\nsomething else\nkTested=99\nseconds =2.5\nncurrent=95\nnCurrent 95\n"
                    "kCurrent=101\nnCurrent=94\n",
                    0, continuing(94, 101), {94, 101, kLeftover.kTested, 2.5, 3}},
        RestoreCase{"LaterKeyWins", kRange, "nCurrent=93\nkCurrent=51\nkCurrent=101\nnCurrent=94\n", 0,
                    continuing(94, 101), {94, 101, kLeftover.kTested, kLeftover.seconds,
                                          kLeftover.factors}},
        RestoreCase{"HexadecimalAndOctal", kRange,
                    "nCurrent=0x5e\nkCurrent=0145\nkTested =0X10\nseconds =1e1\nfactors =010\n", 0,
                    continuing(94, 101), {94, 101, 16, 10.0, 8}},
        RestoreCase{"MissingNCurrentIsRefused", kRange, "kCurrent=101\n", kCheckpointMismatch,
                    kNOutside, {}},
        RestoreCase{"Garbage", kRange, "\x01\x02garbage\n\0\0\nkCurrent\n"s, kCheckpointMismatch,
                    kNOutside, {}},
        RestoreCase{"OverlongLineIsCut", kRange,
                    "nCurrent=94\nkCurrent=" + std::string(89, '0') + "501\n", kCheckpointMismatch,
                    kKOutside, {}}),
    [](const ::testing::TestParamInfo<RestoreCase>& info) { return std::string(info.param.name); });

RunState runningState() {
    RunState state;
    state.nStart = 93;
    state.nEnd = 95;
    state.kStart = 11;
    state.kEnd = 210;
    state.numbers = 200;
    state.nCurrent = 94;
    state.kTested = 5;
    state.seconds = 61.5;
    state.factors = 1;
    state.clockMark = elapsedMilliseconds();
    return state;
}

std::string secondsText(double seconds) {
    std::string text(static_cast<size_t>(std::snprintf(nullptr, 0, "%.2f", seconds)), '\0');
    std::snprintf(text.data(), text.size() + 1, "%.2f", seconds);
    return text;
}

TEST(WriteCheckpoint, WritesFiveLinesAndThePercentageOfTheWholeRange) {
    ScratchDir dir;
    RunState state = runningState();
    const std::string output = capturedStdout([&] { writeCheckpoint(state, 111); });

    EXPECT_TRUE(output.starts_with("\nn=94: k to 111 (50.00% complete): rate=")) << output;
    EXPECT_TRUE(output.ends_with("/sec")) << "no newline at the end: " << output;
    EXPECT_GE(state.seconds, 61.5);
    EXPECT_DOUBLE_EQ(state.rate, 100.0 / state.seconds);
    EXPECT_EQ(readFile(kCheckpointPath), "nCurrent=94\nkCurrent=111\nkTested =5\nseconds =" +
                                             secondsText(state.seconds) + "\nfactors =1\n");
}

TEST(WriteCheckpoint, RoundTripsThroughRestore) {
    ScratchDir dir;
    RunState written = runningState();
    written.kTested = 12345678901234ull;
    written.factors = 7;
    capturedStdout([&] { writeCheckpoint(written, 151); });

    RunState restored;
    restored.nStart = 93;
    restored.nEnd = 95;
    restored.kStart = 11;
    restored.kEnd = 210;
    const std::string output = capturedStdout([&] { EXPECT_EQ(restoreCheckpoint(restored), 0); });
    EXPECT_EQ(output, "\nContinue range: n=93-95(94) and k=11-210(151)\n");
    EXPECT_EQ(restored.nCurrent, 94u);
    EXPECT_EQ(restored.kCurrent, 151u);
    EXPECT_EQ(restored.kTested, 12345678901234ull);
    EXPECT_EQ(secondsText(restored.seconds), secondsText(written.seconds));
    EXPECT_EQ(restored.factors, 7);
}

TEST(WriteCheckpoint, TimeOfAnyMagnitudeIsWrittenWhole) {
    // A hand-edited or damaged file can give seconds any value atof reads;
    // the next checkpoint must still hold all five lines.
    for (const double seconds : {1e300, -1e300, 1e20}) {
        ScratchDir dir;
        RunState state = runningState();
        state.seconds = seconds;
        state.factors = 3;
        capturedStdout([&] { writeCheckpoint(state, 151); });
        const std::string file = readFile(kCheckpointPath);
        EXPECT_TRUE(file.starts_with("nCurrent=94\nkCurrent=151\nkTested =5\nseconds =" +
                                     secondsText(state.seconds) + "\n"))
            << file;
        EXPECT_TRUE(file.ends_with("\nfactors =3\n")) << file;
    }
}

TEST(WriteCheckpoint, FailedWriteKeepsTheOldCheckpointAndGoesOn) {
    ScratchDir dir;
    const std::string old = "nCurrent=93\nkCurrent=51\nkTested =1\nseconds =61.00\nfactors =0\n";
    writeFile(kCheckpointPath, old);
    const testing::ChildOutcome child = testing::runWithFileSizeLimit(16, [] {
        RunState state = runningState();
        writeCheckpoint(state, 111);
        return 0;
    });
    EXPECT_EQ(child.exitCode, 0);
    EXPECT_EQ(readFile(kCheckpointPath), old);
    EXPECT_NE(child.err.find("Can't rewrite kalvenor.cpt"), std::string::npos) << child.err;
    EXPECT_NE(child.err.find("File too large"), std::string::npos) << child.err;
    EXPECT_NE(child.out.find("\nn=94: k to 111 (50.00% complete)"), std::string::npos) << child.out;
}

TEST(AdvanceCheckpoint, WithoutCheckpointWritesNone) {
    ScratchDir dir;
    advanceCheckpoint(runningState());
    EXPECT_FALSE(fileExists(kCheckpointPath));
}

TEST(AdvanceCheckpoint, MovesTheCheckpointToTheNextExponent) {
    ScratchDir dir;
    writeFile(kCheckpointPath, "nCurrent=94\nkCurrent=151\nkTested =5\nseconds =61.50\nfactors =1\n");
    RunState state = runningState();
    state.factors = 2;
    advanceCheckpoint(state);
    EXPECT_EQ(readFile(kCheckpointPath),
              "nCurrent=95\nkCurrent=11\nkTested =0\nseconds =0.00\nfactors =2\n");
}

TEST(AdvanceCheckpoint, AfterTheLastExponentTheRangeIsClosedOnRestart) {
    ScratchDir dir;
    writeFile(kCheckpointPath, "nCurrent=95\nkCurrent=151\n");
    RunState state = runningState();
    state.nCurrent = 95;
    advanceCheckpoint(state);

    RunState restored;
    restored.nStart = 93;
    restored.nEnd = 95;
    restored.kStart = 11;
    restored.kEnd = 210;
    capturedStdout([&] { EXPECT_EQ(restoreCheckpoint(restored), 0); });
    EXPECT_EQ(restored.nCurrent, 96u) << "the driver runs no exponent and closes the range";
    EXPECT_EQ(restored.kCurrent, 11u);
}

}  // namespace
}  // namespace kalvenor
