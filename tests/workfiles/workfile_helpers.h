// Helpers for the work-file tests: captured console output, readAssignment
// on a given file, ranges gtest can print, and failed rewrites in a child.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>
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
inline std::string readAssignmentOf(const std::string& file, RunState& state, int32_t& code) {
    writeFile("worktodo.txt", file);
    return capturedStdout([&] { code = readAssignment("worktodo.txt", state); });
}

struct ChildOutcome {
    int exitCode = -1;
    std::string out;
    std::string err;
};

inline std::string drain(int fd) {
    std::string data;
    char buffer[4096];
    ssize_t got;
    while ((got = ::read(fd, buffer, sizeof buffer)) > 0) data.append(buffer, static_cast<size_t>(got));
    ::close(fd);
    return data;
}

// Runs `body` in a child process that may not write files beyond
// `fileSizeLimit` bytes (the writes fail with EFBIG, as on a full disk);
// the child's result is its exit code. Output goes through pipes, which the
// limit does not touch.
inline ChildOutcome runWithFileSizeLimit(rlim_t fileSizeLimit, const std::function<int()>& body) {
    std::fflush(stdout);
    std::fflush(stderr);
    int out[2], err[2];
    if (::pipe(out) != 0 || ::pipe(err) != 0) return {};
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        ::close(out[0]);
        ::close(err[0]);
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{fileSizeLimit, fileSizeLimit};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        const int code = body();
        std::fflush(stdout);
        std::fflush(stderr);
        ::_exit(code);
    }
    ::close(out[1]);
    ::close(err[1]);
    ChildOutcome outcome;
    outcome.out = drain(out[0]);
    outcome.err = drain(err[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return outcome;
}

// A rewrite of `path` that failed in `child` must leave the old bytes, say
// why, and leave no temporary file beside it in the scratch directory.
inline void expectRewriteFailed(const ChildOutcome& child, const std::string& path,
                                const std::string& before) {
    EXPECT_EQ(readFile(path), before);
    EXPECT_NE(child.err.find("Can't rewrite " + path), std::string::npos) << child.err;
    EXPECT_NE(child.err.find("File too large"), std::string::npos) << child.err;
    size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(".")) ++entries;
    EXPECT_EQ(entries, 1u) << "only " << path << " is left";
}

}  // namespace kalvenor::testing
