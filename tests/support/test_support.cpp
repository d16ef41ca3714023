#include "support/test_support.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace kalvenor::testing {

namespace fs = std::filesystem;

ScratchDir::ScratchDir(bool enter) : entered_(enter) {
    std::random_device rd;
    for (int attempt = 0; attempt < 100; ++attempt) {
        fs::path candidate = fs::temp_directory_path() /
                             ("kalvenor-test-" + std::to_string(::getpid()) + "-" +
                              std::to_string(rd()));
        if (fs::create_directory(candidate)) {
            path_ = candidate;
            break;
        }
    }
    if (path_.empty()) throw std::runtime_error("cannot create a scratch directory");
    if (entered_) {
        previous_ = fs::current_path();
        fs::current_path(path_);
    }
}

ScratchDir::~ScratchDir() {
    std::error_code ec;
    if (entered_) fs::current_path(previous_, ec);
    fs::remove_all(path_, ec);
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void writeFile(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

bool fileExists(const fs::path& path) { return fs::exists(path); }

namespace {
std::string slurpFd(int fd) {
    std::string data;
    char buffer[65536];
    ssize_t got;
    while ((got = ::read(fd, buffer, sizeof buffer)) > 0) data.append(buffer, static_cast<size_t>(got));
    return data;
}
}  // namespace

ProcessResult runKalvenor(const fs::path& dir, const std::string& args, int timeoutSeconds) {
    // Output goes to files rather than pipes so a chatty child never blocks.
    const fs::path outPath = fs::temp_directory_path() / ("kalvenor-out-" + std::to_string(::getpid()) + "-" + std::to_string(std::random_device{}()));
    const fs::path errPath = outPath.string() + ".err";
    const std::string command = "cd '" + dir.string() + "' && exec '" KALVENOR_BINARY "' " + args;
    pid_t pid = ::fork();
    if (pid == 0) {
        int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(out, 1);
        ::dup2(err, 2);
        int devnull = ::open("/dev/null", O_RDONLY);
        ::dup2(devnull, 0);
        ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ProcessResult result;
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    while (true) {
        pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) break;
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
    else if (WIFSIGNALED(status)) result.exitCode = 128 + WTERMSIG(status);
    int outFd = ::open(outPath.c_str(), O_RDONLY);
    int errFd = ::open(errPath.c_str(), O_RDONLY);
    if (outFd >= 0) { result.out = slurpFd(outFd); ::close(outFd); }
    if (errFd >= 0) { result.err = slurpFd(errFd); ::close(errFd); }
    std::error_code ec;
    fs::remove(outPath, ec);
    fs::remove(errPath, ec);
    return result;
}

namespace {
int statusCode(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}
}  // namespace

ProcessResult runKalvenorWithFileLimit(const fs::path& dir, long long fileSizeLimit, int timeoutSeconds) {
    std::fflush(stdout);
    std::fflush(stderr);
    int out[2], err[2];
    if (::pipe(out) != 0) return {};
    if (::pipe(err) != 0) {
        ::close(out[0]);
        ::close(out[1]);
        return {};
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        ::close(out[0]);
        ::close(out[1]);
        ::close(err[0]);
        ::close(err[1]);
        const int devnull = ::open("/dev/null", O_RDONLY);
        ::dup2(devnull, 0);
        // Whatever the test runner does with SIGXFSZ, the program must
        // handle it itself; by default it kills the process.
        ::signal(SIGXFSZ, SIG_DFL);
        const rlimit limit{static_cast<rlim_t>(fileSizeLimit), static_cast<rlim_t>(fileSizeLimit)};
        if (::chdir(dir.c_str()) != 0 || ::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(126);
        ::execl(KALVENOR_BINARY, KALVENOR_BINARY, static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    ProcessResult result;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open = 2;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    bool killed = false;
    while (open > 0) {
        if (!killed && std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            killed = true;
        }
        if (::poll(fds, 2, 100) < 0 && errno != EINTR) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
            char buffer[65536];
            const ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
            if (got > 0) {
                sinks[i]->append(buffer, static_cast<size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    for (const pollfd& fd : fds)
        if (fd.fd >= 0) ::close(fd.fd);
    int status = 0;
    ::waitpid(pid, &status, 0);
    result.exitCode = statusCode(status);
    return result;
}

int startKalvenor(const fs::path& dir, const fs::path& log) {
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        ::dup2(out, 1);
        ::dup2(out, 2);
        const int devnull = ::open("/dev/null", O_RDONLY);
        ::dup2(devnull, 0);
        if (::chdir(dir.c_str()) != 0) ::_exit(126);
        ::execl(KALVENOR_BINARY, KALVENOR_BINARY, static_cast<char*>(nullptr));
        ::_exit(127);
    }
    return pid;
}

int waitOrKill(int pid, int milliseconds) {
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (true) {
        if (::waitpid(pid, &status, WNOHANG) == pid) return statusCode(status);
        if (std::chrono::steady_clock::now() >= deadline) break;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    return statusCode(status);
}

int countOf(const std::string& haystack, const std::string& needle) {
    if (needle.empty()) return 0;
    int count = 0;
    for (size_t at = haystack.find(needle); at != std::string::npos;
         at = haystack.find(needle, at + needle.size()))
        ++count;
    return count;
}

std::string mismatches(const std::string& output, const std::vector<Shows>& expected) {
    std::string missed;
    for (const Shows& e : expected) {
        const int times = countOf(output, e.text);
        const bool met = e.times == kWhole         ? output == e.text
                         : e.times == kAtStart     ? output.rfind(e.text, 0) == 0
                         : e.times == kAtLeastOnce ? times > 0
                                                   : times == e.times;
        const std::string wanted = e.times == kWhole ? "as the whole output" : e.times == kAtStart ? "at the start"
                                   : e.times == kAtLeastOnce ? "at least once" : std::to_string(e.times) + " times";
        if (!met) missed += "shown " + std::to_string(times) + " times, wanted " + wanted + ": " + e.text + "\n";
    }
    return missed.empty() ? missed : missed + "in:\n" + output;
}

void PrintTo(const RunCase& c, std::ostream* os) { *os << c.name; }

namespace {
std::map<std::string, std::string> filesIn(const fs::path& dir) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::directory_iterator(dir)) files[entry.path().filename()] = readFile(entry.path());
    return files;
}
}  // namespace

void expectRun(const RunCase& c) {
    ScratchDir dir(false);
    if (c.worktodo) writeFile(dir / "worktodo.txt", *c.worktodo);
    if (c.checkpoint) writeFile(dir / "kalvenor.cpt", *c.checkpoint);
    const auto before = filesIn(dir.path());
    const ProcessResult run = runKalvenor(dir.path(), c.args, c.timeoutSeconds);
    ASSERT_EQ(run.exitCode, c.exitCode) << run.out << run.err;
    const std::string factors = readFile(dir / "factors.txt");
    for (const std::string& factor : c.factors) {
        EXPECT_EQ(countOf(factors, factor), 1) << factor << "\n" << factors;
        EXPECT_EQ(countOf(run.out, factor), 1) << factor << "\n" << run.out;
    }
    EXPECT_EQ(countOf(factors, "!!! Found factor"), static_cast<int>(c.factors.size())) << factors;
    EXPECT_EQ(mismatches(run.out, c.out), "");
    EXPECT_EQ(c.err.empty() ? run.err : mismatches(run.err, c.err), "");
    EXPECT_EQ(mismatches(readFile(dir / "results.txt"), c.results), "");
    if (c.exitCode == 6) {
        EXPECT_EQ(readFile(dir / "worktodo.txt"), "");
        EXPECT_FALSE(fileExists(dir / "kalvenor.cpt"));
    } else {
        EXPECT_EQ(filesIn(dir.path()), before);
    }
    if (c.more) c.more(dir.path(), run);
}

}  // namespace kalvenor::testing
