// The log appends: whole texts at the end, and failures said, not dropped.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "support/test_support.h"
#include "workfiles/log_files.h"

namespace kalvenor {
namespace {

using testing::readFile;
using testing::ScratchDir;
using testing::writeFile;

TEST(AppendToLog, AppendsAfterWhatIsThere) {
    ScratchDir dir;
    writeFile(kResultsPath, "old\n");
    EXPECT_TRUE(appendToLog(kResultsPath, "first\n"));
    EXPECT_TRUE(appendToLog(kResultsPath, std::string("second\0", 7)));
    EXPECT_EQ(readFile(kResultsPath), std::string("old\nfirst\nsecond\0", 17));
}

TEST(AppendToLog, SaysWhyWhenItCannotWrite) {
    ScratchDir dir;
    std::filesystem::create_directory(kFactorsPath);
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(appendToLog(kFactorsPath, "lost\n"));
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Can't write factors.txt: Is a directory"), std::string::npos) << err;
}

TEST(TimeStamp, IsTheCtimeText) {
    const std::string stamp = timeStamp();
    EXPECT_TRUE(std::regex_match(stamp, std::regex("[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9]\\d "
                                                   "\\d{2}:\\d{2}:\\d{2} \\d{4}\n")))
        << stamp;
}

}  // namespace
}  // namespace kalvenor
