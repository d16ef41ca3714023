// A searcher's machine loses power, the OOM killer strikes, someone pulls
// the plug during a rewrite: SIGKILL at any moment, any number of times.
// After every kill the work files must still make sense, and by the end every
// factor of the assignment must have been reported at least once.
#include <gtest/gtest.h>
#include <signal.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "driver/program.h"
#include "support/test_support.h"
#include "workfiles/assignment_line.h"
#include "workfiles/file_replace.h"
#include "workfiles/range_split.h"

namespace kalvenor::testing {
namespace {

namespace fs = std::filesystem;

const std::vector<Assignment> kAssignments = {
    {36, 36, 25709300001, 25709340001},  // 25709319373*2^36+1 divides F28
    {127, 127, 3, 2001},                 // 5*2^127+1
    {62, 65, 8589934593, 8589936593},    // cut across two levels and two windows
    {74, 74, 76400001, 76500001},        // 76432329*2^74+1
    {252, 252, 301, 1001},               // 403*2^252+1
    {40, 40, 18446744073709551001u, 18446744073709551615u},
    {32, 33, 4294967000, 4294968000},  // its part no kernel serves is noted before the cut
};

const std::string kOriginalFile = [] {
    std::string text;
    for (const Assignment& a : kAssignments) text += formatAssignment(a);
    return text;
}();

// The lines the file may hold later: the originals and every piece that
// cutting them (and cutting the pieces) can give, each with its original.
const std::map<std::string, size_t> kAllowed = [] {
    std::map<std::string, size_t> allowed;
    std::function<void(const Assignment&, size_t)> add = [&](const Assignment& line, size_t origin) {
        if (allowed.emplace(formatAssignment(line), origin).second)
            for (const Assignment& piece : cutRange(line).lines) add(piece, origin);
    };
    for (size_t i = 0; i < kAssignments.size(); ++i) add(kAssignments[i], i);
    return allowed;
}();

// "" when `file` is a possible state, else what is wrong with it: the lines
// are whole, each is known, the pieces of one original come together and in
// order, and every original not yet begun is still there, word for word.
std::string problemWith(const std::string& file) {
    if (file.empty()) return "";
    if (file.back() != '\n') return "the last line is incomplete: " + file;
    std::vector<size_t> origins;
    for (size_t at = 0; at < file.size(); at = file.find('\n', at) + 1) {
        const auto known = kAllowed.find(file.substr(at, file.find('\n', at) + 1 - at));
        if (known == kAllowed.end()) return "a line no cut produces in:\n" + file;
        if (!origins.empty() && known->second < origins.back()) return "lines out of order:\n" + file;
        origins.push_back(known->second);
    }
    for (size_t later = origins.front() + 1; later < kAssignments.size(); ++later)
        if (countOf(file, formatAssignment(kAssignments[later])) != 1) return "a waiting line lost or doubled:\n" + file;
    return "";
}

// The checkpoint as the program writes it: five whole lines, every key, in
// order, with a number each. Anything else means a torn or mixed write.
const std::regex kCheckpointFormat(
    "nCurrent=([0-9]+)\nkCurrent=([0-9]+)\nkTested =([0-9]+)\nseconds =(-?[0-9]+\\.[0-9][0-9])\nfactors =(-?[0-9]+)\n"
    "line    =FermatFactor=[0-9]+,[0-9]+,[0-9]+,[0-9]+\n"
    "tested  =([0-9]+:[0-9]+( [0-9]+:[0-9]+)*)?\nfound   =([0-9]+:[0-9]+( [0-9]+:[0-9]+)*)?\n"
    "checksum=[0-9a-f]{16}\nsums    =([0-9]+:[0-9a-f]{16}( [0-9]+:[0-9a-f]{16})*)?\nsieve   =[0-9]+\n");

// Every "!!! Found factor ...\n" entry of a factors.txt, once each.
std::set<std::string> factorEntries(const std::string& factors) {
    std::set<std::string> found;
    for (size_t at = factors.find("!!! Found"); at != std::string::npos; at = factors.find("!!! Found", at + 1))
        found.insert(factors.substr(at, factors.find('\n', at) + 1 - at));
    return found;
}

TEST(KillAndRestart, WorkFilesStayWholeAndNoFactorIsLost) {
    // The run that nobody interrupts says what the factors are.
    ScratchDir reference(false);
    writeFile(reference / "worktodo.txt", kOriginalFile);
    const auto started = std::chrono::steady_clock::now();
    const ProcessResult clean = runKalvenor(reference.path());
    const auto wholeRun = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
    ASSERT_EQ(clean.exitCode, 6) << clean.out << clean.err;
    const std::set<std::string> expected = factorEntries(readFile(reference / "factors.txt"));
    for (const char* known : {"25709319373*2^36+1", "5*2^127+1", "76432329*2^74+1", "403*2^252+1"})
        EXPECT_EQ(expected.count("!!! Found factor " + std::string(known) + " !!!\n"), 1u) << known;

    std::mt19937 random(20240611);
    int kills = 0, campaigns = 0;
    // Kills land anywhere from start-up to the rewrites after a line. Most
    // runs get less than the whole file took but more than its slowest line
    // with the start-up, so the file goes down in interrupted steps; every
    // third run is cut short, in its start-up or its first line. A campaign
    // ends when the file is empty; campaigns follow each other until enough
    // kills have landed (bounded in number and time).
    const int longest = static_cast<int>(wholeRun.count()) * 4 / 5 + 2;
    const auto stopKilling = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (kills < 60 && campaigns < 12 && std::chrono::steady_clock::now() < stopKilling) {
        ++campaigns;
        ScratchDir dir(false);
        writeFile(dir / "worktodo.txt", kOriginalFile);
        for (int round = 0; round < 40 && std::chrono::steady_clock::now() < stopKilling; ++round) {
            SCOPED_TRACE("campaign " + std::to_string(campaigns) + " round " + std::to_string(round));
            const int delay = std::uniform_int_distribution<int>(0, round % 3 == 2 ? longest / 5 : longest)(random);
            const int code = waitOrKill(startChild({.dir = dir.path()}, dir / "console.log"), delay);
            kills += code == 128 + SIGKILL;
            ASSERT_TRUE(code == 128 + SIGKILL || code == 6 || code == 1) << "exit " << code << "\n" << readFile(dir / "console.log");
            ASSERT_TRUE(fileExists(dir / "worktodo.txt"));
            const std::string work = readFile(dir / "worktodo.txt");
            ASSERT_EQ(problemWith(work), "") << "after " << delay << " ms";
            const std::string checkpoint = readFile(dir / "kalvenor.cpt");
            ASSERT_TRUE(!fileExists(dir / "kalvenor.cpt") || std::regex_match(checkpoint, kCheckpointFormat)) << checkpoint;
            if (work.empty()) break;
        }
        // Whatever is left is run to the end without interruption.
        const ProcessResult last = runKalvenor(dir.path());
        ASSERT_TRUE(last.exitCode == 6 || last.exitCode == 1) << last.out << last.err;
        EXPECT_EQ(readFile(dir / "worktodo.txt"), "");
        EXPECT_FALSE(fileExists(dir / "kalvenor.cpt"));
        const std::set<std::string> reported = factorEntries(readFile(dir / "factors.txt"));
        EXPECT_EQ(reported, expected) << "campaign " << campaigns << " lost or invented a factor";
        // However often it was killed, each line's record is the one an
        // uninterrupted run writes, once.
        EXPECT_EQ(readFile(dir / "results.jsonl"), readFile(reference / "results.jsonl")) << "campaign " << campaigns;
    }
    // Runs that all end before their kill would pass without testing anything.
    EXPECT_GT(kills, 0);
}

// A client whose checkpoint schedule comes round at every third question
// stands in for the minute, which no test can wait for.
struct EveryThirdAsk final : RunHost {
    int asked = 0;
    bool timeToCheckpoint(bool) override { return ++asked % 3 == 0; }
};

// The exponents whose summaries `results` logs, in order.
std::vector<std::string> summaries(const std::string& results) {
    std::vector<std::string> logged;
    for (size_t at = results.find(": tested "); at != std::string::npos; at = results.find(": tested ", at + 1))
        logged.push_back(results.substr(results.rfind('\n', at) + 1, at - results.rfind('\n', at) - 1));
    return logged;
}

// A line of 96 exponents of one short batch each, killed at random
// moments: however short its exponents, a restart redoes only those that
// ended since the last checkpoint asked for (at most three), never the line.
TEST(KillAndRestart, ALineOfShortExponentsRedoesOnlyWhatEndedSinceTheLastCheckpoint) {
    const std::string line = "FermatFactor=32,127,1099511627777,1099511627779\n";
    ScratchDir reference(false), dir(false);
    writeFile(reference / "worktodo.txt", line);
    ASSERT_EQ(runKalvenor(reference.path()).exitCode, 6);
    writeFile(dir / "worktodo.txt", line);
    const Child child{.dir = dir.path(), .body = [] {
                          EveryThirdAsk host;
                          char name[] = "kalvenor";
                          char* argv[] = {name, nullptr};
                          return runProgram(1, argv, host);
                      }};
    std::mt19937 random(96);
    int kills = 0;
    for (int round = 0; round < 60 && !readFile(dir / "worktodo.txt").empty(); ++round) {
        const std::vector<std::string> before = summaries(readFile(dir / "results.txt"));
        const int code = waitOrKill(startChild(child, dir / "console.log"), std::uniform_int_distribution<int>(30, 400)(random));
        ASSERT_TRUE(code == 128 + SIGKILL || code == 6) << "exit " << code << "\n" << readFile(dir / "console.log");
        kills += code == 128 + SIGKILL;
        const std::vector<std::string> after = summaries(readFile(dir / "results.txt"));
        const long redone = std::count_if(after.begin() + static_cast<long>(before.size()), after.end(), [&](const std::string& n) {
            return std::find(before.begin(), before.end(), n) != before.end();
        });
        EXPECT_LE(redone, 3) << "round " << round << " redid the line:\n" << readFile(dir / "results.txt");
    }
    const int last = runKalvenor(dir.path()).exitCode;  // 1: nothing was left
    ASSERT_TRUE(last == 6 || last == 1) << last;
    EXPECT_EQ(readFile(dir / "results.jsonl"), readFile(reference / "results.jsonl"));
    EXPECT_GT(kills, 5);
}

// A run that is acted on while it works, once its console shows `waitFor`:
// stopped by signals, joined by a second instance, its worktodo.txt edited.
struct LiveCase {
    const char* name;
    std::string worktodo;
    const char* waitFor;
    std::function<void(int pid, const fs::path& dir)> act;
    int exitCode;
    std::function<void(const fs::path& dir, const std::string& console)> check;
    std::vector<std::string> args = {};
    std::vector<int> ignoredSignals = {};  // ignored from the start, as under nohup
};

// About two seconds of work at full speed, with a factor of F28 in its first batch.
const std::string kLongLine = "FermatFactor=36,36,25709300001,26709300001\n";
const std::string kF28 = "!!! Found factor 25709319373*2^36+1 !!!\n";

bool consoleShows(const fs::path& log, const std::string& text, int seconds = 120) {
    for (int waited = 0; waited < seconds * 100; ++waited) {
        if (readFile(log).find(text) != std::string::npos) return true;
        ::usleep(10000);
    }
    return false;
}

const LiveCase kLiveCases[] = {
    // The batch in flight is finished and its factor reported, the
    // checkpoint saved and the stop logged; the restart goes on from there
    // and reports no factor twice.
    {"TermStopsAfterTheBatchWithACheckpoint", kLongLine, "!!! Found factor", [](int pid, const fs::path&) { ::kill(pid, SIGTERM); },
     128 + SIGTERM,
     [](const fs::path& dir, const std::string&) {
         EXPECT_TRUE(std::regex_match(readFile(dir / "kalvenor.cpt"), kCheckpointFormat)) << readFile(dir / "kalvenor.cpt");
         EXPECT_NE(readFile(dir / "results.txt").find("n=36: stopped by signal 15 at k="), std::string::npos);
         const ProcessResult again = runKalvenor(dir);
         EXPECT_EQ(again.exitCode, 6) << again.out << again.err;
         EXPECT_NE(again.out.find("\nContinue range: n=36-36"), std::string::npos) << again.out;
         EXPECT_EQ(countOf(readFile(dir / "factors.txt"), kF28), 1);
         EXPECT_EQ(countOf(readFile(dir / "results.jsonl"), "\"factors\":[{\"factor\":\"25709319373*2^36+1\",\"m\":28}]"), 1);
     }},
    // A scheduler's one stop, sent to the process group and passed on by
    // the job script: still a stop after the batch, with its checkpoint.
    {"RepeatedTermIsOneRequest", kLongLine, "!!! Found factor",
     [](int pid, const fs::path& dir) {
         ::kill(pid, SIGTERM);
         ASSERT_TRUE(consoleShows(dir / "console.log", "Signal 15: stopping"));
         ::kill(pid, SIGTERM);
     },
     128 + SIGTERM,
     [](const fs::path& dir, const std::string& console) {
         EXPECT_NE(readFile(dir / "results.txt").find("n=36: stopped by signal 15 at k="), std::string::npos) << console;
     }},
    {"SecondInterruptStopsAtOnce", kLongLine, "Testing for n = 36",
     [](int pid, const fs::path&) {
         ::kill(pid, SIGINT);
         ::kill(pid, SIGINT);
     },
     128 + SIGINT, {}},
    // A second instance touches nothing; the lock dies with its holder.
    {"SecondInstanceIsRefusedAndTheLockDiesWithTheFirst", kLongLine, "Testing for n = 36",
     [](int pid, const fs::path& dir) {
         const std::string before = readFile(dir / "worktodo.txt");
         const ProcessResult second = runKalvenor(dir);
         EXPECT_EQ(second.exitCode, 9);
         EXPECT_EQ(second.out, "");
         EXPECT_NE(second.err.find("another kalvenor is working in this directory"), std::string::npos) << second.err;
         EXPECT_EQ(readFile(dir / "worktodo.txt"), before);
         ::kill(pid, SIGKILL);
     },
     128 + SIGKILL,
     [](const fs::path& dir, const std::string&) {
         const int third = startChild({.dir = dir}, dir / "third.log");
         ASSERT_TRUE(consoleShows(dir / "third.log", "Testing for n = 36")) << readFile(dir / "third.log");
         ::kill(third, SIGTERM);
         EXPECT_EQ(waitOrKill(third, 120000), 128 + SIGTERM);
     }},
    // Under nohup SIGHUP is ignored from the start, and stays so.
    {"HangUpIgnoredUnderNohup", kLongLine, "Testing for n = 36", [](int pid, const fs::path&) { ::kill(pid, SIGHUP); }, 6,
     [](const fs::path&, const std::string& console) { EXPECT_EQ(console.find("Signal 1"), std::string::npos) << console; },
     {}, {SIGHUP}},
    // A second directory whose worktodo.txt links to the first one's file shares its lock.
    {"LinkToTheWorkFileOfARunningDirectory", kLongLine, "Testing for n = 36",
     [](int, const fs::path& dir) {
         ScratchDir other(false);
         fs::create_symlink(dir / "worktodo.txt", other / "worktodo.txt");
         const ProcessResult second = runKalvenor(other.path());
         EXPECT_EQ(second.exitCode, 9) << second.out << second.err;
         EXPECT_NE(second.err.find("another kalvenor is working on the file worktodo.txt links to"), std::string::npos) << second.err;
         EXPECT_FALSE(fs::exists(other / "results.txt"));
     },
     6, {}},
    // Stopped at one sieve depth and taken up without the option: the line
    // keeps its depth, and its record is that of an uninterrupted run.
    {"ResumeWithoutTheSieveOptionKeepsTheDepth", kLongLine, "Testing for n = 36", [](int pid, const fs::path&) { ::kill(pid, SIGTERM); },
     128 + SIGTERM,
     [](const fs::path& dir, const std::string&) {
         EXPECT_NE(readFile(dir / "kalvenor.cpt").find("\nsieve   =1000\n"), std::string::npos) << readFile(dir / "kalvenor.cpt");
         const ProcessResult again = runKalvenor(dir);
         EXPECT_EQ(again.exitCode, 6) << again.out << again.err;
         EXPECT_NE(again.out.find("\nThe line goes on at its checkpoint's sieve depth of 1000 primes, not "), std::string::npos)
             << again.out;
         ScratchDir whole(false);
         writeFile(whole / "worktodo.txt", kLongLine);
         EXPECT_EQ(runKalvenor(whole.path(), "--sieve-primes 1000").exitCode, 6);
         EXPECT_EQ(readFile(dir / "results.jsonl"), readFile(whole / "results.jsonl"));
     },
     {"--sieve-primes", "1000"}},
    // A checkpoint kept for a line that is no longer there goes at the end.
    {"KeptCheckpointOfALineGoneIsRemovedAtTheEnd", kLongLine, "Testing for n = 36",
     [](int, const fs::path& dir) { writeFile(dir / "kalvenor-36-36-3-5.cpt", "nCurrent=36\n"); }, 6,
     [](const fs::path& dir, const std::string& console) {
         EXPECT_FALSE(fileExists(dir / "kalvenor-36-36-3-5.cpt"));
         EXPECT_NE(console.find("\nRemoved kalvenor-36-36-3-5.cpt, the checkpoint kept for FermatFactor=36,36,3,5, a line no longer"),
                   std::string::npos) << console;
     }},
    // A line put on top during the run: the finished line goes, the new one runs.
    {"LineAddedOnTopDuringTheRun", kLongLine, "Testing for n = 36",
     [](int, const fs::path& dir) { writeFile(dir / "worktodo.txt", "FermatFactor=127,127,3,9\n" + readFile(dir / "worktodo.txt")); },
     6,
     [](const fs::path& dir, const std::string& console) {
         EXPECT_EQ(countOf(console, "Starting range"), 2) << console;
         EXPECT_EQ(countOf(readFile(dir / "factors.txt"), "!!! Found factor"), 2);
         EXPECT_EQ(countOf(readFile(dir / "factors.txt"), "5*2^127+1"), 1);
     }},
};

void PrintTo(const LiveCase& c, std::ostream* os) { *os << c.name; }

class LiveRun : public ::testing::TestWithParam<LiveCase> {};

TEST_P(LiveRun, EndsAsItShould) {
    const LiveCase& c = GetParam();
    ScratchDir dir(false);
    writeFile(dir / "worktodo.txt", c.worktodo);
    const int pid = startChild({.dir = dir.path(), .args = c.args, .ignoredSignals = c.ignoredSignals}, dir / "console.log");
    ASSERT_TRUE(consoleShows(dir / "console.log", c.waitFor)) << readFile(dir / "console.log");
    c.act(pid, dir.path());
    EXPECT_EQ(waitOrKill(pid, 120000), c.exitCode) << readFile(dir / "console.log");
    if (c.check) c.check(dir.path(), readFile(dir / "console.log"));
}

INSTANTIATE_TEST_SUITE_P(Runs, LiveRun, ::testing::ValuesIn(kLiveCases), kCaseName);

// A child that replaces a file in a tight loop, with versions from empty to
// 200 KB so that a kill often lands inside a write, is killed at random
// moments: each time the file must be one whole version, old or new. Every
// rewrite of the program (worktodo.txt, kalvenor.cpt) goes through replaceFile.
std::string payload(unsigned generation) {
    std::string text = "generation " + std::to_string(generation) + "\n";
    text.append(static_cast<size_t>(generation % 5) * 50000, static_cast<char>('a' + generation % 26));
    return text + "end\n";
}

TEST(KilledRewrite, LeavesTheOldOrTheNewFile) {
    ScratchDir dir;
    std::mt19937 random(7);
    int seen = 0;
    for (int round = 0; round < 60; ++round) {
        const int pid = startChild({.body = []() -> int {
                                       for (unsigned generation = 0;; ++generation)
                                           replaceFile("kalvenor.cpt", payload(generation));
                                   }},
                                   "/dev/null");
        const int micros = std::uniform_int_distribution<int>(0, 20000)(random);
        ASSERT_EQ(waitOrKill(pid, micros / 1000), 128 + SIGKILL) << "the loop never ends by itself";
        if (!fileExists("kalvenor.cpt")) continue;  // killed before the first rename: still the old state
        ++seen;
        const std::string file = readFile("kalvenor.cpt");
        unsigned generation = 0;
        ASSERT_TRUE(std::sscanf(file.c_str(), "generation %u", &generation) == 1 && file == payload(generation))
            << "round " << round << ": not one whole version (" << file.size() << " bytes)";
    }
    EXPECT_GT(seen, 0);
}

}  // namespace
}  // namespace kalvenor::testing
