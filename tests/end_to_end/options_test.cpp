// The command line of the real binary.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/test_support.h"

namespace kalvenor::testing {
namespace {

TEST(EndToEndOptions, HelpVersionAndBadOptions) {
    ScratchDir dir(false);
    const ProcessResult help = runKalvenor(dir.path(), "--help");
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("Usage: kalvenor"), std::string::npos);

    const ProcessResult version = runKalvenor(dir.path(), "--version");
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out.rfind("Kalvenor_CUDA version 2.018\n", 0), 0u) << version.out;

    const ProcessResult unknown = runKalvenor(dir.path(), "--fast");
    EXPECT_EQ(unknown.exitCode, 2);
    EXPECT_EQ(unknown.err, "kalvenor: unknown option '--fast'\nTry 'kalvenor --help' for more information.\n");
    EXPECT_EQ(unknown.out, "");

    const ProcessResult badDevice = runKalvenor(dir.path(), "--device gpu0");
    EXPECT_EQ(badDevice.exitCode, 2);
    EXPECT_NE(badDevice.err.find("'--device'"), std::string::npos);

    // None of these touched the work files.
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST(EndToEndOptions, SelftestPassesOnTheHostDeviceAndLeavesWorkFilesAlone) {
    ScratchDir dir(false);
    writeFile(dir / "worktodo.txt", "FermatFactor=36,36,25709300001,25709340001\n");
    const ProcessResult run = runKalvenor(dir.path(), "--device cpu --selftest", 600);
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("none: the host device was requested"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("Self-test passed: 35 of 35 kernels"), std::string::npos) << run.out;
    EXPECT_EQ(readFile(dir / "worktodo.txt"), "FermatFactor=36,36,25709300001,25709340001\n");
    for (const char* name : {"results.txt", "factors.txt", "kalvenor.cpt"}) EXPECT_FALSE(fileExists(dir / name)) << name;
}

}  // namespace
}  // namespace kalvenor::testing
