// The checkpoint: which files are taken up, how the run continues from them,
// and what writeCheckpoint and advanceCheckpoint leave behind.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <tuple>
#include <vector>

#include "common/text_format.h"
#include "workfile_helpers.h"
#include "workfiles/checkpoint.h"
#include "workfiles/log_files.h"

namespace kalvenor {
namespace {

using namespace std::string_literals;
using testing::readFile;
using testing::writeFile;

const std::string kNOutside = "\nThe current value for n (nCurrent) is outside of the range of n.\n";
const std::string kKOutside = "\nThe current value for k (kCurrent) is outside of the range of k.\n";
const std::string kRange = "FermatFactor=93,95,11,1001\n";  // one window, lower level throughout
const std::string kStarting = "\nStarting range: n=93-95 and k=11-1001\n";
const std::string kUnwritten = "\nThe checkpoint holds a value that no run writes.\n";
std::string unwritten(const std::string& why) { return "\nThe checkpoint holds a value that no run writes (" + why + ").\n"; }
constexpr AssignmentStatus kReady = AssignmentStatus::Ready, kMismatch = AssignmentStatus::CheckpointMismatch;

std::string continuing(uint32_t nCurrent, uint64_t kCurrent, uint64_t kEnd = 1001) {
    return formatText("\nContinue range: n=93-95(%u) and k=11-%lu(%lu)\n", nCurrent, kEnd, kCurrent);
}

// The five values in the order and spelling writeCheckpoint uses, and the
// line they belong to, which older versions did not write (nor the tallies
// of the line's record after it).
std::string cpt(uint32_t n, uint64_t k, uint64_t tested, const std::string& seconds, int32_t factors,
                const std::string& line = "") {
    return formatText("nCurrent=%u\nkCurrent=%lu\nkTested =%lu\nseconds =%s\nfactors =%d\n", n, k, tested, seconds.c_str(),
                      factors) + (line.empty() ? "" : "line    =" + line);
}

TEST(RestoreCheckpoint, DecidesHowTheRangeGoesOn) {
    using Progress = std::tuple<uint32_t, uint64_t, uint64_t, double, int32_t>;  // nCurrent, kCurrent, kTested, seconds, factors
    using Tallies = std::pair<std::vector<ExponentCount>, std::vector<FoundFactor>>;
    struct RestoreCase {
        const char* name;
        std::optional<std::string> checkpoint;
        AssignmentStatus status;
        std::string output;
        Progress progress{};  // checked when Ready
        std::string line = kRange;
        Tallies tallies{};
    };
    const std::string kept = "tested  =93:40\nfound   =93:15 94:101\n";
    const std::string kFactorRange = "FermatFactor=93,95,11,2001\n";  // 1421*2^93+1 passes the test
    const RestoreCase cases[] = {
        {"none", std::nullopt, kReady, kStarting, {93, 11, 0, 0.0, 0}},
        {"next exponent", cpt(94, 501, 5, "61.50", 2), kReady, continuing(94, 501), {94, 501, 5, 61.5, 2}},
        {"nCurrent above nEnd", "nCurrent=97\nkCurrent=501\n", kMismatch, kNOutside},
        {"nCurrent below nStart", "nCurrent=92\nkCurrent=501\n", kMismatch, kNOutside},
        {"missing kCurrent", "nCurrent=94\nkTested =5\nseconds =1.00\nfactors =0\n", kMismatch, kKOutside},
        {"kCurrent below kStart", "nCurrent=94\nkCurrent=9\n", kMismatch, kKOutside},
        // The sieve stops at the first odd multiplier above kEnd: the exponent is done.
        {"walk of an exponent finished", cpt(94, 1003, 300, "70.00", 2), kReady, continuing(95, 11), {95, 11, 0, 0.0, 2}, kRange,
         {{{94, 300, std::nullopt}}, {}}},
        {"walk finished at an even kEnd", cpt(94, 1001, 3, "70.00", 0), kReady, continuing(95, 11, 1000), {95, 11, 0, 0.0, 0},
         "FermatFactor=93,95,11,1000\n", {{{94, 3, std::nullopt}}, {}}},
        {"kCurrent further past kEnd", "nCurrent=94\nkCurrent=1005\n", kMismatch, kKOutside},
        {"as many tested as the walk has passed", cpt(94, 151, 70, "61.50", 7), kReady, continuing(94, 151), {94, 151, 70, 61.5, 7}},
        {"more tested than the walk has passed", cpt(94, 151, 71, "61.50", 7), kMismatch, unwritten("more tested than the walk has passed")},
        // What advanceCheckpoint leaves after the last exponent.
        {"range finished", cpt(96, 11, 0, "0.00", 3), kReady, continuing(96, 11), {96, 11, 0, 0.0, 3}},
        {"past nEnd inside the walk", "nCurrent=96\nkCurrent=501\n", kMismatch, kNOutside},
        {"even kStart", cpt(94, 11, 0, "0.00", 0), kReady, continuing(94, 11), {94, 11, 0, 0.0, 0}, "FermatFactor=93,95,10,1001\n"},
        {"any order, other lines, a key without its blank",
         "factors =3\nsomething else\nkTested=99\nseconds =2.5\nncurrent=95\nnCurrent 95\nkCurrent=101\nnCurrent=94\n", kReady,
         continuing(94, 101), {94, 101, 0, 2.5, 3}},
        {"later key wins", "nCurrent=93\nkCurrent=51\nkCurrent=101\nnCurrent=94\n", kReady, continuing(94, 101), {94, 101, 0, 0, 0}},
        {"its own line", cpt(94, 501, 5, "61.50", 2, kRange), kReady, continuing(94, 501), {94, 501, 5, 61.5, 2}},
        {"another line", cpt(94, 501, 5, "61.50", 2, "FermatFactor=93,95,11,2001\n"), kMismatch,
         "\nThe checkpoint belongs to another line (FermatFactor=93,95,11,2001).\n"},
        {"the record's tallies", cpt(94, 501, 5, "61.50", 1, kFactorRange) + "tested  =93:40\nfound   =93:1421\n", kReady,
         continuing(94, 501, 2001), {94, 501, 5, 61.5, 1}, kFactorRange, {{{93, 40, std::nullopt}}, {{93, 1421}}}},
        {"a found entry that is no factor", cpt(94, 501, 5, "61.50", 2, kRange) + kept, kMismatch, unwritten("15*2^93+1 is no factor")},
        {"the tallies without their line", cpt(94, 501, 5, "61.50", 0) + "tested  =93:40\n", kMismatch,
         unwritten("the record's tallies without the line they belong to")},
        {"kCurrent past kEnd with the tallies", cpt(94, 1003, 5, "1.00", 0, kRange) + "tested  =93:40\n", kMismatch, kKOutside},
        {"more tested than the range holds", cpt(94, 501, 5, "1.00", 0, kRange) + "tested  =93:497\n", kMismatch, kUnwritten},
        {"a sieve deeper than any", cpt(94, 501, 5, "1.00", 0, kRange) + "tested  =93:40\nsieve   =203280221\n", kMismatch,
         unwritten("a sieve deeper than any")},
        {"a tally for the current exponent", cpt(94, 501, 5, "61.50", 2, kRange) + "tested  =93:40 94:3\n", kMismatch, kUnwritten},
        {"a tally not a number", cpt(94, 501, 5, "61.50", 0, kRange) + "tested  =93:x\n", kMismatch, kUnwritten},
        {"a factor past the walk", cpt(94, 1421, 5, "61.50", 1, kFactorRange) + "tested  =93:40\nfound   =94:1421\n", kMismatch,
         kUnwritten, {}, kFactorRange},
        {"more factors than counted", cpt(94, 501, 5, "61.50", 1, kRange) + kept, kMismatch, kUnwritten},
        // Taken up from an older version's file: only what came since is known, and said.
        {"tallies since an older file", cpt(95, 501, 5, "61.50", 3, kRange) + "tested  =94:7\nfrom    =94\n", kReady,
         continuing(95, 501), {95, 501, 5, 61.5, 3}, kRange, {{{94, 7, std::nullopt}}, {}}},
        {"from an exponent not done", cpt(95, 501, 5, "61.50", 3, kRange) + "tested  =\nfrom    =96\n", kMismatch,
         unwritten("an exponent missing from the tested ones")},
        {"an exponent missing from the tested ones", cpt(95, 501, 5, "61.50", 0, kRange) + "tested  =94:7\n", kMismatch,
         unwritten("an exponent missing from the tested ones")},
        {"even kCurrent", cpt(94, 500, 5, "61.50", 2), kMismatch, kUnwritten},
        {"negative seconds", cpt(94, 501, 5, "-1.00", 2), kMismatch, kUnwritten},
        {"factors of 2^31", cpt(94, 501, 5, "1.00", 0) + "factors =2147483648\n", kMismatch, kUnwritten},
        {"negative factors", cpt(94, 501, 5, "1.00", -5), kMismatch, kUnwritten},
        {"hexadecimal and octal", "nCurrent=0x5e\nkCurrent=0145\nkTested =0X10\nseconds =1e1\nfactors =010\n", kReady,
         continuing(94, 101), {94, 101, 16, 10.0, 8}},
        {"missing nCurrent", "kCurrent=101\n", kMismatch, kNOutside},
        {"garbage", "\x01\x02garbage\n\0\0\nkCurrent\n"s, kMismatch, kNOutside},
        {"a long line", "nCurrent=94\nkCurrent=" + std::string(89, ' ') + "501\n", kReady, continuing(94, 501), {94, 501, 0, 0, 0}},
    };
    for (const RestoreCase& c : cases) {
        SCOPED_TRACE(c.name);
        testing::ScratchDir dir;
        if (c.checkpoint) writeFile(kCheckpointPath, *c.checkpoint);
        RunState state;
        AssignmentStatus status = AssignmentStatus::Unreadable;
        EXPECT_EQ(testing::readAssignmentOf(c.line, state, status), c.output);
        EXPECT_EQ(status, c.status);
        if (c.status == kReady) {
            EXPECT_EQ(Progress(state.nCurrent, state.kCurrent, state.kTested, state.seconds, state.factors), c.progress);
            EXPECT_EQ(Tallies(state.exponentsDone, state.found), c.tallies);
        }
        // Only a fresh start is logged, after its time stamp's own line.
        const std::string log = readFile(kResultsPath);
        EXPECT_EQ(log.substr(std::min<size_t>(log.size(), 25)), c.output == kStarting ? kStarting.substr(1) : "");
        EXPECT_EQ(log.find('\n'), c.output == kStarting ? 24 : std::string::npos);
        EXPECT_EQ(readFile(kCheckpointPath), c.checkpoint.value_or("")) << "never repaired";
    }
}

RunState runningState() {
    return {.paths = {}, .line = {93, 95, 11, 210}, .nStart = 93, .nEnd = 95, .kStart = 11, .kEnd = 210, .nCurrent = 94, .kTested = 12345678901234ull,
            .checksum = 0xfedcba9876543210ull, .seconds = 61.5, .factors = 7, .numbers = 200, .clockMark = elapsedMilliseconds(),
            .exponentsDone = {{93, 77, 0x0123456789abcdefull}}, .found = {{93, 15}, {94, 101}}, .sievePrimes = 1000};
}

// A hand-edited or damaged file can give seconds any value atof reads; the
// next checkpoint must still hold all five lines, and replace the old file
// rather than truncate it (a hard link keeps the old one).
TEST(WriteCheckpoint, ReplacesTheFileWithFiveLinesAndThePercentageOfTheWholeRange) {
    for (const double seconds : {61.5, 1e300, -1e300}) {
        SCOPED_TRACE(seconds);
        testing::ScratchDir dir;
        writeFile(kCheckpointPath, "old");
        std::filesystem::create_hard_link(kCheckpointPath, "held");
        RunState state = runningState();
        state.seconds = seconds;
        const std::string output = testing::capturedStdout([&] { writeCheckpoint(state, 111); });
        EXPECT_TRUE(output.starts_with("\nn=94: k to 111 (50.00% complete): rate=") && output.ends_with("/sec")) << output;
        EXPECT_GE(state.seconds, seconds);
        EXPECT_EQ(readFile(kCheckpointPath), cpt(94, 111, 12345678901234ull, formatText("%.2f", state.seconds), 7,
                                                 "FermatFactor=93,95,11,210\n") +
                                                 "tested  =93:77\nfound   =93:15 94:101\nchecksum=fedcba9876543210\n"
                                                 "sums    =93:0123456789abcdef\nsieve   =1000\n");
        EXPECT_EQ(readFile("held"), "old");
    }
    // A checkpoint that cannot be written costs only the checkpoint.
    testing::ScratchDir dir;
    const std::string old = cpt(93, 51, 1, "61.00", 0);
    writeFile(kCheckpointPath, old);
    const testing::ProcessResult child = testing::withFileLimit(16, [] {
        RunState state = runningState();
        writeCheckpoint(state, 111);
        return 0;
    });
    EXPECT_EQ(child.exitCode, 0);
    EXPECT_NE(child.out.find("\nn=94: k to 111 (50.00% complete)"), std::string::npos) << child.out;
    testing::expectRewriteFailed(child, kCheckpointPath, old);
}

// The checksums come back as they were written: the running one of the
// current exponent and those of the exponents done. A file of an older
// version kept none: an exponent it had begun, and those it had done, have
// none known; one it had not begun starts from 0. A checksum no run writes
// makes the file one no run writes.
TEST(RestoreCheckpoint, TakesUpTheChecksumsItWrote) {
    struct ChecksumCase {
        const char* name;
        std::string checkpoint;
        bool ready;
        std::optional<uint64_t> running;
        std::vector<ExponentCount> done = {};
    };
    const std::string head = cpt(94, 501, 5, "1.00", 0, kRange);
    const ChecksumCase cases[] = {
        {"both", head + "tested  =93:40\nchecksum=00000000000000ff\nsums    =93:8000000000000001\n", true, 0xff,
         {{93, 40, 0x8000000000000001ull}}},
        {"an older file in the middle of an exponent", head + "tested  =93:40\n", true, std::nullopt, {{93, 40, std::nullopt}}},
        {"an older file at the start of an exponent", cpt(94, 11, 0, "0.00", 0, kRange), true, 0},
        {"only some exponents' sums", cpt(95, 501, 5, "1.00", 0, kRange) + "tested  =93:1 94:2\nchecksum=0000000000000000\nsums    =94:0000000000000007\n",
         true, 0, {{93, 1, std::nullopt}, {94, 2, 7}}},
        {"a sum of an exponent not done", head + "tested  =93:40\nsums    =94:0000000000000007\n", false, 0},
        {"a checksum of 15 digits", head + "checksum=00000000000000f\n", false, 0},
        {"a checksum in capitals", head + "checksum=00000000000000FF\n", false, 0},
        {"a sum that is no number", head + "tested  =93:40\nsums    =93:x000000000000000\n", false, 0},
    };
    for (const ChecksumCase& c : cases) {
        SCOPED_TRACE(c.name);
        testing::ScratchDir dir;
        writeFile(kCheckpointPath, c.checkpoint);
        RunState state;
        AssignmentStatus status = AssignmentStatus::Unreadable;
        testing::readAssignmentOf(kRange, state, status);
        ASSERT_EQ(status, c.ready ? kReady : kMismatch);
        if (!c.ready) continue;
        EXPECT_EQ(state.checksum, c.running);
        EXPECT_EQ(state.exponentsDone, c.done);
    }
    // Written and read back.
    testing::ScratchDir dir;
    RunState written = runningState();
    written.line = {93, 95, 11, 1001};
    written.found.clear();
    written.kTested = 50;  // of the 50 odd multipliers from 11 to 111
    testing::capturedStdout([&] { writeCheckpoint(written, 111); });
    RunState state;
    AssignmentStatus status = AssignmentStatus::Unreadable;
    testing::readAssignmentOf(kRange, state, status);
    ASSERT_EQ(status, kReady);
    EXPECT_EQ(std::tuple(state.checksum, state.exponentsDone, state.sievePrimes),
              std::tuple(written.checksum, written.exponentsDone, written.sievePrimes));
}

// A checkpoint that exists but cannot be read may hold days of work: it is
// neither taken up nor deleted.
TEST(RestoreCheckpoint, StopsAtAnUnreadableCheckpoint) {
    testing::ScratchDir dir;
    std::filesystem::create_directory(kCheckpointPath);
    RunState state;
    AssignmentStatus status = AssignmentStatus::Ready;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(testing::readAssignmentOf(kRange, state, status), "");
    EXPECT_EQ(status, AssignmentStatus::CheckpointUnreadable);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "\nCan't read the checkpoint file kalvenor.cpt: Is a directory\n");
    EXPECT_TRUE(std::filesystem::is_directory(kCheckpointPath));
}

TEST(AdvanceCheckpoint, MovesAnExistingCheckpointToTheNextExponent) {
    for (const uint32_t done : {94u, 95u}) {
        testing::ScratchDir dir;
        RunState state = runningState();
        state.nCurrent = done;
        advanceCheckpoint(state);
        EXPECT_FALSE(testing::fileExists(kCheckpointPath)) << "none to bring forward";
        writeFile(kCheckpointPath, "nCurrent=" + std::to_string(done) + "\nkCurrent=151\n");
        advanceCheckpoint(state);
        EXPECT_EQ(readFile(kCheckpointPath), cpt(done + 1, 11, 0, "0.00", 7, "FermatFactor=93,95,11,210\n") +
                                                 "tested  =93:77\nfound   =93:15 94:101\nchecksum=0000000000000000\n"
                                                 "sums    =93:0123456789abcdef\nsieve   =1000\n");
    }
}

}  // namespace
}  // namespace kalvenor
