// Helpers for the work-file tests: captured console output, lines in the
// program's own format, and running code in a child whose file writes fail.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

#include "workfiles/assignment_line.h"

namespace kalvenor::testing {

inline constexpr uint64_t pow2(int exponent) { return uint64_t{1} << exponent; }

inline std::string line(uint32_t nStart, uint32_t nEnd, uint64_t kStart, uint64_t kEnd) {
    return formatAssignment({nStart, nEnd, kStart, kEnd});
}

template <class Body>
std::string capturedStdout(Body&& body) {
    ::testing::internal::CaptureStdout();
    body();
    std::fflush(stdout);
    return ::testing::internal::GetCapturedStdout();
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

}  // namespace kalvenor::testing
