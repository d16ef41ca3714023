// removeFirstLine: what is left of the file, the code, and the checkpoint.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/test_support.h"
#include "workfiles/assignment_file.h"
#include "workfiles/checkpoint.h"
#include "workfile_helpers.h"

namespace kalvenor {
namespace {

using namespace std::string_literals;
using testing::fileExists;
using testing::readFile;
using testing::ScratchDir;
using testing::writeFile;

struct RemovalCase {
    const char* name;
    std::string before;
    int32_t code;
    std::string after;
};

class RemoveFirstLine : public ::testing::TestWithParam<RemovalCase> {};

TEST_P(RemoveFirstLine, KeepsWhatFollowsTheFirstLine) {
    const RemovalCase& c = GetParam();
    ScratchDir dir;
    writeFile("worktodo.txt", c.before);
    writeFile(kCheckpointPath, "nCurrent=40\n");
    EXPECT_EQ(removeFirstLine("worktodo.txt"), c.code);
    EXPECT_EQ(readFile("worktodo.txt"), c.after);
    EXPECT_FALSE(fileExists(kCheckpointPath));
}

INSTANTIATE_TEST_SUITE_P(
    Files, RemoveFirstLine,
    ::testing::Values(
        RemovalCase{"OneLine", "FermatFactor=40,40,3,5\n", kWorkFileEmpty, ""},
        RemovalCase{"OneLineWithoutNewline", "FermatFactor=40,40,3,5", kWorkFileEmpty, ""},
        RemovalCase{"EmptyFile", "", kWorkFileEmpty, ""},
        RemovalCase{"TwoLines", "FermatFactor=40,40,3,5\nFermatFactor=41,41,3,5\n", kAssignmentReady,
                    "FermatFactor=41,41,3,5\n"},
        RemovalCase{"BlankFirstLine", "\nFermatFactor=41,41,3,5", kAssignmentReady,
                    "FermatFactor=41,41,3,5"},
        RemovalCase{"CrLfAndNulKept", "junk\r\nline\0two\r\n\0"s, kAssignmentReady, "line\0two\r\n\0"s},
        RemovalCase{"ByteOrderMarkGoesWithTheFirstLine",
                    "\xEF\xBB\xBF" "FermatFactor=40,40,3,5\nnext\n", kAssignmentReady, "next\n"},
        RemovalCase{"LineOf120Characters", std::string(119, 'a') + "\nnext\n", kAssignmentReady,
                    std::string(20, 'a') + "\nnext\n"},
        RemovalCase{"LineOf99CharactersExactly", std::string(98, 'a') + "\nnext\n", kAssignmentReady,
                    "next\n"}),
    [](const ::testing::TestParamInfo<RemovalCase>& info) { return std::string(info.param.name); });

TEST(RemoveFirstLineFile, MissingCheckpointIsNoError) {
    ScratchDir dir;
    writeFile("worktodo.txt", "a\nb\n");
    EXPECT_EQ(removeFirstLine("worktodo.txt"), kAssignmentReady);
    EXPECT_EQ(readFile("worktodo.txt"), "b\n");
}

TEST(RemoveFirstLineFile, FailedRewriteLeavesTheFile) {
    ScratchDir dir;
    const std::string content = "FermatFactor=40,40,3,5\n" + std::string(200, 'x') + "\n";
    writeFile("worktodo.txt", content);
    const testing::ChildOutcome child =
        testing::runWithFileSizeLimit(16, [] { return static_cast<int>(removeFirstLine("worktodo.txt")); });
    EXPECT_EQ(child.exitCode, kWorkFileWriteFailed);
    EXPECT_EQ(readFile("worktodo.txt"), content);
    EXPECT_NE(child.err.find("File too large"), std::string::npos) << child.err;
    size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir.path())) ++entries;
    EXPECT_EQ(entries, 1u) << "the temporary file is cleaned up";
}

TEST(RemoveFirstLineFile, MissingFileEndsTheProcess) {
    ScratchDir dir;
    EXPECT_EXIT(removeFirstLine("worktodo.txt"), ::testing::ExitedWithCode(1),
                "Can.t open worktodo file: No such file or directory");
}

TEST(RemoveFirstLineFile, KeepsTheFilePermissions) {
    ScratchDir dir;
    writeFile("worktodo.txt", "a\nb\n");
    std::filesystem::permissions("worktodo.txt", std::filesystem::perms::owner_read |
                                                     std::filesystem::perms::owner_write);
    EXPECT_EQ(removeFirstLine("worktodo.txt"), kAssignmentReady);
    EXPECT_EQ(std::filesystem::status("worktodo.txt").permissions(),
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

}  // namespace
}  // namespace kalvenor
