// The first line of worktodo.txt: which lines readAssignment accepts with
// which values, which it refuses with which status and message, and what
// removeFirstLine leaves of the file and the checkpoint.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "workfile_helpers.h"
#include "workfiles/checkpoint.h"
#include "workfiles/result_record.h"

namespace kalvenor {
namespace {

using namespace std::string_literals;
using testing::readFile;
using testing::writeFile;

constexpr AssignmentStatus kReady = AssignmentStatus::Ready, kBad = AssignmentStatus::BadValues,
                           kNoKey = AssignmentStatus::NoKeyword, kBlank = AssignmentStatus::BlankLine;
const std::string kN = kNRangeMessage, kNEnd = kNEndMessage, kK = kKRangeMessage, kKEnd = kKEndMessage,
                  kTrail = kTrailingTextMessage;

TEST(ReadAssignment, JudgesTheFirstLine) {
    struct ReadCase {
        const char* name;
        std::string file;
        AssignmentStatus status;
        std::string output;   // all that is printed but the start of an accepted range
        Assignment values{};  // the run now when accepted
        std::optional<std::string> after = {};  // the file afterwards, when not as it was
    };
    const std::string untested32 = "\nn=32-32, k=3-3: not tested, no kernel for P below 2^64\n";
    const ReadCase cases[] = {
        {"one exponent, one multiplier", "FermatFactor=63,63,3,3\n", kReady, "", {63, 63, 3, 3}},
        {"lower-case keyword", "fermatfactor=63,63,3,3\n", kNoKey, ""},
        {"blank before '='", "FermatFactor =63,63,3,3\n", kNoKey, ""},
        {"empty line", "\nFermatFactor=63,63,3,3\n", kBlank, ""},
        {"only blanks", "     \t\r\n", kBlank, ""},
        {"empty file", "", AssignmentStatus::NoAssignment, ""},
        {"only a byte-order mark", "\xEF\xBB\xBF", AssignmentStatus::NoAssignment, ""},
        {"UTF-16, as some editors save it", "\xFF\xFE" "F\0e\0r\0"s, AssignmentStatus::Unreadable, ""},
        {"UTF-16 without its mark", "F\0e\0r\0m\0"s, AssignmentStatus::Unreadable, ""},
        {"blanks around numbers", "FermatFactor= 127 , 127 , 5 , 9 \r\n", kReady, "", {127, 127, 5, 9}},
        {"text between digits and comma", "FermatFactor=63abc,63 x,3 y;,5\n", kReady, "", {63, 63, 3, 5}},
        {"text after kEnd", "FermatFactor=63,63,3,5 z\n", kBad, kTrail},
        {"a fifth number", "FermatFactor=63,63,3,5,9\n", kBad, kTrail},
        {"nStart below 32", "FermatFactor=31,40,3,5\n", kBad, kN},
        {"nEnd above 607", "FermatFactor=600,608,3,5\n", kBad, kN},
        {"nEnd below nStart", "FermatFactor=41,40,3,5\n", kBad, kNEnd},
        {"line ends after nStart", "FermatFactor=40\n", kBad, kNEnd},
        {"line ends after nEnd", "FermatFactor=40,63\n", kBad, kK},
        {"line ends after kStart", "FermatFactor=40,63,5\n", kBad, kKEnd},
        {"kStart 1", "FermatFactor=63,63,1,5\n", kBad, kK},
        {"kEnd 2^64", "FermatFactor=63,63,3,18446744073709551616\n", kBad, kK},
        {"kEnd below kStart", "FermatFactor=63,63,9,7\n", kBad, kKEnd},
        {"a single even multiplier", "FermatFactor=63,63,8,8\n", kBad, kNoOddMessage},
        {"a word for nStart", "FermatFactor=Foo=36,36,3,100\n", kBad, kNotANumberMessages[0]},
        {"a word for nEnd", "FermatFactor=36,x36,3,100\n", kBad, kNotANumberMessages[1]},
        {"a word for kStart", "FermatFactor=36,36,three,100\n", kBad, kNotANumberMessages[2]},
        {"a word for kEnd, nEnd too small", "FermatFactor=36,35,3,-\n", kBad, kNotANumberMessages[3]},
        {"even kStart raised", "FermatFactor=127,127,2,3\n", kReady, "", {127, 127, 2, 3}},
        {"kEnd 2^64-1", "FermatFactor=96,96,4294967297,18446744073709551615\n", kReady, "", {96, 96, 4294967297u, UINT64_MAX}},
        {"byte-order mark", "\xEF\xBB\xBF" "FermatFactor=63,63,3,3\n", kReady, "", {63, 63, 3, 3}},
        {"CRLF", "FermatFactor=63,63,3,5\r\nFermatFactor=70,70,3,5\r\n", kReady, "", {63, 63, 3, 5}},
        {"NUL after kEnd", "FermatFactor=63,63,3,5\0,9\n"s, kReady, "", {63, 63, 3, 5}},
        {"NUL before the commas", "FermatFactor=63\0,63,3,5\n"s, kBad, kNEnd},
        {"NUL first", "\0FermatFactor=63,63,3,5\n"s, kNoKey, ""},
        {"98 characters", "FermatFactor=63,63,3," + std::string(77, ' ') + "\n", kBad, kNotANumberMessages[3]},
        {"99 characters", "FermatFactor=63,63,3,5" + std::string(77, ' ') + "\nnext\n", AssignmentStatus::LineTooLong, ""},
        {"kEnd of 300 digits", "FermatFactor=63,63,3," + std::string(300, '9') + "\n", AssignmentStatus::LineTooLong, ""},
        {"leading zeros", "FermatFactor=" + std::string(60, '0') + "63,63,3,3\n", kReady, "", {63, 63, 3, 3}},
        {"plus signs", "FermatFactor=+63,+63,+3,+5\n", kReady, "", {63, 63, 3, 5}},
        {"negative nStart", "FermatFactor=-4294967233,63,3,5\n", kBad, kN},
        {"negative kStart", "FermatFactor=63,63,-3,5\n", kBad, kK},
        {"negative kEnd", "FermatFactor=36,36,25709300001,-1\n", kBad, kK},
        // Nothing a kernel serves: named, and the line goes; the next one is read.
        {"no kernel at all", "FermatFactor=32,32,3,3\n", AssignmentStatus::FileEmpty, untested32, {}, ""},
        {"no kernel, then a line", "FermatFactor=32,32,3,3\nFermatFactor=63,63,3,3\n", kReady, untested32, {63, 63, 3, 3},
         "FermatFactor=63,63,3,3\n"},
        // 2^64-1 reaches 2^33 (kHigh) at n = 63: a lower and an upper line.
        {"up to 2^64-1 at n=63", "FermatFactor=63,63,3,18446744073709551615\n", kReady, "", {63, 63, 3, 8589934592u},
         "FermatFactor=63,63,3,8589934592\nFermatFactor=63,63,8589934592,18446744073709551615\n"},
    };
    for (const ReadCase& c : cases) {
        SCOPED_TRACE(c.name);
        testing::ScratchDir dir;
        RunState state;
        AssignmentStatus status = AssignmentStatus::Unreadable;
        const std::string output = testing::readAssignmentOf(c.file, state, status);
        EXPECT_EQ(status, c.status);
        EXPECT_EQ(readFile("worktodo.txt"), c.after.value_or(c.file)) << "a refused line is never repaired";
        const bool refused = c.status == kBad || c.status == kNoKey || c.status == AssignmentStatus::LineTooLong;
        EXPECT_EQ(testing::countOf(readFile("results.jsonl"), "\"status\":\"refused\""), refused ? 1 : 0);
        EXPECT_EQ(testing::countOf(readFile("results.txt"), "Refused the line "), refused ? 1 : 0);
        if (c.status != kReady) {
            EXPECT_EQ(output, c.output);
            continue;
        }
        const Assignment& a = c.values;
        EXPECT_EQ(output, c.output + "\nStarting range: n=" + std::to_string(a.nStart) + "-" + std::to_string(a.nEnd) +
                              " and k=" + std::to_string(a.kStart | 1) + "-" + std::to_string(a.kEnd) + "\n");
        EXPECT_EQ(testing::rangeOf(state), testing::rangeOf(Assignment{a.nStart, a.nEnd, a.kStart | 1, a.kEnd}));
        EXPECT_EQ(testing::rangeOf(state.line), testing::rangeOf(a));
        EXPECT_EQ(std::tuple(state.nCurrent, state.kCurrent), std::tuple(a.nStart, a.kStart | 1));
    }
}

TEST(RemoveFirstLine, KeepsWhatFollowsTheFirstLine) {
    const std::tuple<std::string, AssignmentStatus, std::string> cases[] = {
        {"FermatFactor=40,40,3,5\n", AssignmentStatus::FileEmpty, ""},
        {"FermatFactor=40,40,3,5", AssignmentStatus::FileEmpty, ""},
        {"", AssignmentStatus::FileEmpty, ""},
        {"FermatFactor=40,40,3,5\nFermatFactor=41,41,3,5\n", kReady, "FermatFactor=41,41,3,5\n"},
        {"\nFermatFactor=41,41,3,5", kReady, "FermatFactor=41,41,3,5"},
        {"junk\r\nline\0two\r\n\0"s, kReady, "line\0two\r\n\0"s},
        {"\xEF\xBB\xBF" "FermatFactor=40,40,3,5\nnext\n", kReady, "next\n"},  // the mark goes with the line
        {std::string(1 << 20, 'a') + "\nnext\n", kReady, "next\n"},  // however long, in one rewrite
    };
    for (const auto& [before, status, after] : cases) {
        for (const bool checkpoint : {true, false}) {  // a missing checkpoint is no error
            SCOPED_TRACE(before + (checkpoint ? " with checkpoint" : ""));
            testing::ScratchDir dir;
            writeFile("worktodo.txt", before);
            if (checkpoint) writeFile(kCheckpointPath, "nCurrent=40\n");
            EXPECT_EQ(removeFirstLine("worktodo.txt"), status);
            EXPECT_EQ(readFile("worktodo.txt"), after);
            EXPECT_FALSE(testing::fileExists(kCheckpointPath));
        }
    }
}

// The finished line goes wherever it now stands; when it is gone, nothing
// goes, and that is said.
TEST(RemoveFinishedLine, TakesTheLineThatWasRun) {
    const Assignment run{60, 62, 4294967297u, 4294977297u};
    const std::tuple<std::string, AssignmentStatus, std::string, std::string> cases[] = {
        {"FermatFactor=60,62,4294967297,4294977297\nb\n", kReady, "b\n", ""},
        {"a\nFermatFactor= 60, 62,4294967297,4294977297\r\nb\n", kReady, "a\nb\n", ""},
        {"a\n", kReady, "a\n", "\nThe finished line FermatFactor=60,62,4294967297,4294977297 is no longer in worktodo.txt; "
                                 "no line was removed.\n"},
        {"FermatFactor=60,62,4294967297,4294977297", AssignmentStatus::FileEmpty, "", ""},
    };
    for (const auto& [before, status, after, said] : cases) {
        testing::ScratchDir dir;
        writeFile("worktodo.txt", before);
        EXPECT_EQ(testing::capturedStdout([&, &status = status] { EXPECT_EQ(removeFinishedLine("worktodo.txt", run), status); }), said);
        EXPECT_EQ(readFile("worktodo.txt"), after);
    }
}

// A failed rewrite leaves the file; a successful one keeps its permissions;
// a missing file is said, and neither read nor removal makes one.
TEST(RemoveFirstLine, FailsSafelyAndKeepsPermissions) {
    using std::filesystem::perms;
    testing::ScratchDir dir;
    const std::string content = "FermatFactor=40,40,3,5\n" + std::string(200, 'x') + "\n";
    writeFile("worktodo.txt", content);
    const testing::ProcessResult child =
        testing::withFileLimit(16, [] { return static_cast<int>(removeFirstLine("worktodo.txt")); });
    EXPECT_EQ(child.exitCode, static_cast<int>(AssignmentStatus::WriteFailed));
    testing::expectRewriteFailed(child, "worktodo.txt", content);

    std::filesystem::permissions("worktodo.txt", perms::owner_read | perms::owner_write);
    EXPECT_EQ(removeFirstLine("worktodo.txt"), kReady);
    EXPECT_EQ(std::filesystem::status("worktodo.txt").permissions(), perms::owner_read | perms::owner_write);

    std::filesystem::remove("worktodo.txt");
    RunState state;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(readAssignment("worktodo.txt", state), AssignmentStatus::Unreadable);
    EXPECT_EQ(removeFirstLine("worktodo.txt"), AssignmentStatus::Unreadable);
    const std::string said = "\nCan't open worktodo file: No such file or directory\n";
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), said + said);
    EXPECT_FALSE(testing::fileExists("worktodo.txt"));
    // A FIFO would never end, and a file of 65 MiB (sparse here) is no list of assignments.
    ASSERT_EQ(::mkfifo("worktodo.txt", 0644), 0);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(readAssignment("worktodo.txt", state), AssignmentStatus::Unreadable);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "\nworktodo.txt is not a regular file; it is left as it is.\n");
    std::filesystem::remove("worktodo.txt");
    writeFile("worktodo.txt", "FermatFactor=63,63,3,3\n");
    std::filesystem::resize_file("worktodo.txt", 65u << 20);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(readAssignment("worktodo.txt", state), AssignmentStatus::Unreadable);
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("larger than 64 MiB"), std::string::npos);
}

// A record is a line of its own even where the file was left without its
// last newline, and is written once; whatever a refused line holds, its
// record stays one line of valid JSON.
TEST(Records, StandOnLinesOfTheirOwnAndEscapeWhatARefusedLineHolds) {
    testing::ScratchDir dir;
    writeFile("results.jsonl", "{\"edited\":1}");
    const std::string record = refusedRecord("FermatFactor=\"36\"\t\\\xff\0"s, "why");
    ASSERT_TRUE(appendRecord("results.jsonl", record));
    ASSERT_TRUE(appendRecord("results.jsonl", record));
    EXPECT_EQ(readFile("results.jsonl"),
              R"({"edited":1})" "\n"
              R"({"line":"FermatFactor=\"36\"\u0009\\\u00ff\u0000","exponents":[],"factors":[],"status":"refused","reason":"why"})" "\n");
}

// Killed while the notes of a cut are written (held there by a results.jsonl
// that is a FIFO nobody writes to), the run leaves worktodo.txt as it was:
// no part cut away can have lost its note.
TEST(SplitAssignment, AKillWhileTheNotesAreWrittenFindsTheLineUncut) {
    testing::ScratchDir dir;
    const std::string file = "FermatFactor=32,33,4294967000,4294968000\n";
    writeFile("worktodo.txt", file);
    ASSERT_EQ(::mkfifo("results.jsonl", 0644), 0);
    const int pid = testing::startChild({.body = [] {
                                            RunState state;
                                            return static_cast<int>(readAssignment("worktodo.txt", state));
                                        }},
                                        "child.log");
    for (int i = 0; i < 1200 && readFile("results.txt").empty(); ++i) ::usleep(50000);
    EXPECT_EQ(testing::waitOrKill(pid, 0), 128 + SIGKILL);
    EXPECT_EQ(readFile("worktodo.txt"), file);
    EXPECT_NE(readFile("results.txt").find("n=32-32, k=4294967000-4294967295: not tested"), std::string::npos);
}

}  // namespace
}  // namespace kalvenor
