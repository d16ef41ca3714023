// Helpers for the work-file tests: captured console output, readAssignment
// on a given file, ranges gtest can print, and failed rewrites.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <tuple>

#include "support/test_support.h"
#include "workfiles/assignment_file.h"
#include "workfiles/assignment_line.h"

namespace kalvenor::testing {

// A range as gtest compares and prints it.
inline auto rangeOf(const RunState& s) { return std::tuple(s.nStart, s.nEnd, s.kStart, s.kEnd); }
inline auto rangeOf(const Assignment& a) { return std::tuple(a.nStart, a.nEnd, a.kStart, a.kEnd); }

template <class Body>
std::string capturedStdout(Body&& body) {
    ::testing::internal::CaptureStdout();
    body();
    std::fflush(stdout);
    return ::testing::internal::GetCapturedStdout();
}

// readAssignment on a worktodo.txt holding `file`; returns what it printed.
inline std::string readAssignmentOf(const std::string& file, RunState& state, AssignmentStatus& code) {
    writeFile("worktodo.txt", file);
    return capturedStdout([&] { code = readAssignment("worktodo.txt", state); });
}

// `body` in a child whose file writes beyond `limit` bytes fail (EFBIG, as
// on a full disk); its exit code is what body returns.
inline ProcessResult withFileLimit(long long limit, std::function<int()> body) {
    return runChild({.body = std::move(body), .fileSizeLimit = limit});
}

// A rewrite of `path` that failed in `child` must leave the old bytes, say
// why, and leave no temporary file beside it in the scratch directory.
inline void expectRewriteFailed(const ProcessResult& child, const std::string& path, const std::string& before) {
    EXPECT_EQ(readFile(path), before);
    EXPECT_NE(child.err.find("Can't rewrite " + path), std::string::npos) << child.err;
    EXPECT_NE(child.err.find("File too large"), std::string::npos) << child.err;
    size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(".")) ++entries;
    EXPECT_EQ(entries, 1u) << "only " << path << " is left";
}

}  // namespace kalvenor::testing
