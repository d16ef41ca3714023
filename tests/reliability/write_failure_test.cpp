// A full disk, a quota, a file-size limit: every write the program makes can
// fail. Then it must say what failed on standard error, keep the old files as
// they were and never end as if all went well; a factor must reach the
// console even when factors.txt cannot take it. And no file it depends on is
// ever truncated in place, where a crash would leave half of it.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "support/test_support.h"
#include "workfiles/file_replace.h"

namespace kalvenor::testing {
namespace {

namespace fs = std::filesystem;

const std::string kFactor127 = "!!! Found factor 5*2^127+1 !!!\n";
std::vector<std::string> strayTemporaries(const fs::path& dir) {
    std::vector<std::string> found;
    for (const auto& entry : fs::directory_iterator(dir))
        if (entry.path().filename().string().find(".tmp-") != std::string::npos)
            found.push_back(entry.path().filename().string());
    return found;
}

struct FullDiskCase {
    const char* name;
    std::string worktodo;
    std::string factors;  // factors.txt before the run ("" = none)
    std::string results;  // results.txt before the run ("" = none)
    long long limit;      // bytes any file may hold (-1: no limit)
    int exitCode;
    std::vector<Shows> err, out;
    bool worktodoKept;    // else it is expected to be empty at the end
    std::function<void(const fs::path&)> prepare = {};  // the directory before the run
    bool unprivileged = false;                          // run as nobody when root, whom permissions do not stop
    std::string records = {};                           // results.jsonl afterwards, when it matters
};

// A remainder longer than the limit makes every rewrite of worktodo.txt fail,
// while the short appends to the logs still fit.
const std::string kLongRemainder = [] {
    std::string text;
    for (int i = 0; i < 60; ++i) text += "FermatFactor=127,127,3,9\n";
    return text;
}();
const std::string kFullFile(4096, '#');
const auto kFullRecords = [](const fs::path& dir) { writeFile(dir / "results.jsonl", std::string(4095, '#') + "\n"); };
const std::string kNoKernel32 =
    "{\"line\":\"FermatFactor=32,32,4294967000,4294967295\",\"exponents\":[],\"factors\":[],\"status\":\"no kernel\"}\n";

const FullDiskCase kFullDiskCases[] = {
    {"CutOfTheFirstLine", "FermatFactor=62,65,8589934593,8589936593\n" + kLongRemainder, "", "", 0, 7,
     {"Can't rewrite worktodo.txt", "File too large", "worktodo.txt is left as it was"}, {}, true},
    {"RemovalOfAFinishedLine", "FermatFactor=127,127,3,9\n" + kLongRemainder, "", "", 1024, 7,
     {"Can't rewrite worktodo.txt", "File too large"}, {kFactor127}, true},
    {"RemovalOfABadLine", "FermatFactor=127,127,9,3\n" + kLongRemainder, "", "", 1024, 7,
     {"Can't rewrite worktodo.txt", "File too large"},
     {"Removed a line with incorrect start or end values of k or n."}, true},
    {"FactorsFileFull", "FermatFactor=127,127,3,9\n", kFullFile, "", 4096, 8,
     {"Can't write factors.txt", "File too large", kFactor127, "the run stops here"}, {kFactor127}, true},
    // Checked at the start, before any work is done.
    {"FactorsFileIsADirectory", "FermatFactor=127,127,3,9\n", "", "", -1, 7, {"can't append to factors.txt: Is a directory"},
     {{"", kWhole}}, true, [](const fs::path& dir) { fs::create_directory(dir / "factors.txt"); }},
    {"ReadOnlyDirectory", "FermatFactor=127,127,3,9\n", "", "", -1, 7, {"Permission denied", "nothing was run"},
     {{"", kWhole}}, true, [](const fs::path& dir) { fs::permissions(dir, fs::perms::owner_all | fs::perms::group_read |
                                                                   fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec); },
     true},
    // What leaves worktodo.txt unrun is noted first: a record that cannot be
    // written keeps the line, and a rewrite that fails finds the notes written.
    {"NoKernelRecordFull", "FermatFactor=36,37,3,1001\nFermatFactor=127,127,3,9\n", "", "", 4096, 7,
     {"Can't write results.jsonl", "File too large", "the line stays"}, {}, true, kFullRecords},
    {"RefusedRecordFull", "FermatFactor=36,36,3,1000000000x\n", "", "", 4096, 7,
     {"Can't write results.jsonl", "File too large", "the line stays"}, {}, true, kFullRecords},
    {"CutAfterItsNotes", "FermatFactor=32,33,4294967000,4294968000\n" + kLongRemainder, "", "", 1024, 7,
     {"Can't rewrite worktodo.txt", "File too large"}, {"not tested, no kernel"}, true, {}, false, kNoKernel32},
    {"ResultsFileFull", "FermatFactor=127,127,3,9\n", "", kFullFile, 4096, 6,
     {"Can't write results.txt", "File too large"}, {kFactor127}, false},
};

void PrintTo(const FullDiskCase& c, std::ostream* os) { *os << c.name; }

class FullDisk : public ::testing::TestWithParam<FullDiskCase> {};

TEST_P(FullDisk, SaysWhatFailedAndKeepsTheOldFiles) {
    const FullDiskCase& c = GetParam();
    ScratchDir dir(false);
    writeFile(dir / "worktodo.txt", c.worktodo);
    if (!c.factors.empty()) writeFile(dir / "factors.txt", c.factors);
    if (!c.results.empty()) writeFile(dir / "results.txt", c.results);

    if (c.prepare) c.prepare(dir.path());
    const ProcessResult run = runChild({.dir = dir.path(), .fileSizeLimit = c.limit, .unprivileged = c.unprivileged});
    fs::permissions(dir.path(), fs::perms::owner_all);
    EXPECT_EQ(run.exitCode, c.exitCode) << run.out << run.err;
    EXPECT_EQ(mismatches(run.err, c.err), "");
    EXPECT_EQ(mismatches(run.out, c.out), "");
    EXPECT_EQ(readFile(dir / "worktodo.txt"), c.worktodoKept ? c.worktodo : "");
    // A log that could not take its entry holds exactly what it held.
    if (!c.factors.empty()) { EXPECT_EQ(readFile(dir / "factors.txt"), c.factors); }
    if (!c.results.empty()) { EXPECT_EQ(readFile(dir / "results.txt"), c.results); }
    EXPECT_EQ(strayTemporaries(dir.path()), std::vector<std::string>{});
    if (!c.records.empty()) { EXPECT_EQ(readFile(dir / "results.jsonl"), c.records); }
}

INSTANTIATE_TEST_SUITE_P(Writes, FullDisk, ::testing::ValuesIn(kFullDiskCases), kCaseName);

// A hard link keeps the inode of the old file. Were the file truncated and
// written anew in place, the link would show the new content (or none).
TEST(NoTruncationInPlace, CutRemovalAndCheckpointMovedOnReplaceTheFileAndFollowLinks) {
    struct Case {
        const char* held;
        std::string worktodo;
        std::optional<std::string> checkpoint;
        std::vector<Shows> out;
    };
    const Case cases[] = {
        {"worktodo.txt", "FermatFactor=62,65,8589934593,8589936593\nFermatFactor=127,127,3,9\n", std::nullopt, {}},
        // With a checkpoint present, every finished exponent rewrites it.
        {"kalvenor.cpt", "FermatFactor=60,62,4294967297,4294977297\n",
         "nCurrent=60\nkCurrent=4294970001\nkTested =100\nseconds =5.00\nfactors =0\n", {"Continue range: n=60-62(60)"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.held);
        ScratchDir dir(false);
        writeFile(dir / "worktodo.txt", c.worktodo);
        if (c.checkpoint) writeFile(dir / "kalvenor.cpt", *c.checkpoint);
        const std::string held = readFile(dir / c.held);
        fs::create_hard_link(dir / c.held, dir / "held");
        const ProcessResult run = runKalvenor(dir.path());
        ASSERT_EQ(run.exitCode, 6) << run.out << run.err;
        EXPECT_EQ(mismatches(run.out, c.out), "");
        EXPECT_EQ(readFile(dir / "held"), held);
        EXPECT_EQ(readFile(dir / "worktodo.txt"), "");
        EXPECT_FALSE(fileExists(dir / "kalvenor.cpt"));
    }
    // A symbolic link stays one: its target is what is replaced.
    ScratchDir dir(false);
    fs::create_directory(dir / "real");
    writeFile(dir / "real" / "worktodo.txt", "FermatFactor=62,65,8589934593,8589936593\n");
    fs::create_symlink("real/worktodo.txt", dir / "worktodo.txt");
    EXPECT_EQ(runKalvenor(dir.path()).exitCode, 6);
    EXPECT_TRUE(fs::is_symlink(dir / "worktodo.txt"));
    EXPECT_EQ(readFile(dir / "real" / "worktodo.txt"), "");
}

// A line appended while worktodo.txt is rewritten (between the read and the
// rename) must not vanish: the rewrite notices and leaves the file to be read again.
TEST(NoTruncationInPlace, LineAppendedDuringARewriteIsKept) {
    const std::string old = "FermatFactor=127,127,3,9\n", added = "FermatFactor=252,252,301,1001\n";
    for (const auto& [checked, appends, result, left] :
         {std::tuple{true, false, Replacement::Done, std::string()}, {true, true, Replacement::Changed, old + added},
          {false, true, Replacement::Done, std::string()}}) {
        ScratchDir dir(false);
        writeFile(dir / "worktodo.txt", old);
        const auto append = [&] { writeFile(dir / "worktodo.txt", readFile(dir / "worktodo.txt") + added); };
        EXPECT_EQ(replaceFileIfUnchanged(dir / "worktodo.txt", checked ? std::optional<std::string_view>(old) : std::nullopt, "",
                                         appends ? std::function<void()>(append) : nullptr),
                  result);
        EXPECT_EQ(readFile(dir / "worktodo.txt"), left);
        EXPECT_EQ(strayTemporaries(dir.path()), std::vector<std::string>{});
    }
}

}  // namespace
}  // namespace kalvenor::testing
