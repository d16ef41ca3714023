#include "support/test_support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <map>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace kalvenor::testing {

namespace fs = std::filesystem;

ScratchDir::ScratchDir(bool enter) : entered_(enter) {
    std::string pattern = (fs::temp_directory_path() / "kalvenor-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot create a scratch directory");
    path_ = pattern;
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

namespace {

int statusCode(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

// Forks; the child gets stdout and stderr on outFd and errFd, stdin from
// /dev/null, its directory and limit, then runs the body or the binary.
pid_t spawn(const Child& c, int outFd, int errFd) {
    // Built before the fork: the child of a process with threads must not allocate.
    std::vector<char*> argv{const_cast<char*>(KALVENOR_BINARY)};
    for (const std::string& a : c.args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    // The case's own settings first: getenv takes the first of a name.
    std::vector<char*> envp;
    for (const std::string& e : c.environment) envp.push_back(const_cast<char*>(e.c_str()));
    for (char** e = environ; *e != nullptr; ++e) envp.push_back(*e);
    envp.push_back(nullptr);
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    if (c.output == Child::Output::Captured) ::dup2(outFd, 1);
    if (c.output == Child::Output::Closed) ::close(1);
    if (int gone[2]; c.output == Child::Output::ReaderGone && ::pipe(gone) == 0) {
        ::dup2(gone[1], 1);
        ::close(gone[0]);
        ::close(gone[1]);
    }
    ::dup2(errFd, 2);
    ::dup2(::open("/dev/null", O_RDONLY), 0);
    // Whatever the test runner does with signals, the program must handle
    // them itself.
    for (int s : {SIGXFSZ, SIGINT, SIGTERM, SIGHUP, SIGPIPE}) ::signal(s, SIG_DFL);
    for (int s : c.ignoredSignals) ::signal(s, SIG_IGN);
    // A body is library code, which expects the program's own setting.
    if (c.body) ::signal(SIGXFSZ, SIG_IGN);
    if (c.unprivileged && ::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(126);
    if (!c.dir.empty() && ::chdir(c.dir.c_str()) != 0) ::_exit(126);
    if (c.fileSizeLimit >= 0) {
        const rlimit limit{static_cast<rlim_t>(c.fileSizeLimit), static_cast<rlim_t>(c.fileSizeLimit)};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(126);
    }
    if (c.body) {
        const int code = c.body();
        std::fflush(stdout);
        std::fflush(stderr);
        ::_exit(code);
    }
    ::execve(KALVENOR_BINARY, argv.data(), envp.data());
    ::_exit(127);
}

}  // namespace

ProcessResult runChild(const Child& c) {
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return {};
    const pid_t pid = spawn(c, out[1], err[1]);
    ::close(out[1]);
    ::close(err[1]);
    ProcessResult result;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(c.timeoutSeconds);
    for (int open = 2; open > 0;) {
        if (std::chrono::steady_clock::now() > deadline) ::kill(pid, SIGKILL);
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

ProcessResult runKalvenor(const fs::path& dir, const std::string& args, int timeoutSeconds, std::vector<std::string> environment) {
    Child child{.dir = dir, .timeoutSeconds = timeoutSeconds, .environment = std::move(environment)};
    std::istringstream words(args);
    for (std::string word; words >> word;) child.args.push_back(word);
    return runChild(child);
}

int startChild(const Child& c, const fs::path& log) {
    const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    const pid_t pid = spawn(c, fd, fd);
    ::close(fd);
    return pid;
}

int waitOrKill(int pid, int milliseconds) {
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (std::chrono::steady_clock::now() < deadline) {
        if (::waitpid(pid, &status, WNOHANG) == pid) return statusCode(status);
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    return statusCode(status);
}

int countOf(const std::string& haystack, const std::string& needle) {
    int count = 0;
    for (size_t at = haystack.find(needle); !needle.empty() && at != std::string::npos;
         at = haystack.find(needle, at + needle.size()))
        ++count;
    return count;
}

std::string mismatches(const std::string& output, const std::vector<Shows>& expected) {
    std::string missed;
    for (const Shows& e : expected) {
        const int times = countOf(output, e.text);
        const bool met = e.times == kWhole         ? output == e.text
                         : e.times == kAtStart     ? output.starts_with(e.text)
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
    // The lock file stays behind every run that worked here.
    for (const auto& entry : fs::directory_iterator(dir))
        if (entry.path().filename() != "kalvenor.lock") files[entry.path().filename()] = readFile(entry.path());
    return files;
}
}  // namespace

void expectRun(const RunCase& c) {
    ScratchDir dir(false);
    if (c.worktodo) writeFile(dir / "worktodo.txt", *c.worktodo);
    if (c.checkpoint) writeFile(dir / "kalvenor.cpt", *c.checkpoint);
    for (const auto& [name, bytes] : c.files) writeFile(dir / name, bytes);
    if (c.prepare) c.prepare(dir.path());
    const auto before = filesIn(dir.path());
    Child child{.dir = dir.path(), .timeoutSeconds = c.timeoutSeconds, .environment = c.environment, .output = c.output};
    std::istringstream words(c.args);
    for (std::string word; words >> word;) child.args.push_back(word);
    const ProcessResult run = runChild(child);
    ASSERT_EQ(run.exitCode, c.exitCode) << run.out << run.err;
    const std::string factors = readFile(dir / "factors.txt");
    for (const std::string& factor : c.factors) {
        EXPECT_EQ(countOf(factors, factor), 1) << factor << "\n" << factors;
        EXPECT_EQ(countOf(run.out, factor), c.output == Child::Output::Captured ? 1 : 0) << factor << "\n" << run.out;
    }
    EXPECT_EQ(countOf(factors, "!!! Found factor"), static_cast<int>(c.factors.size())) << factors;
    EXPECT_EQ(mismatches(run.out, c.out), "");
    EXPECT_EQ(c.err.empty() ? run.err : mismatches(run.err, c.err), "");
    EXPECT_EQ(mismatches(readFile(dir / "results.txt"), c.results), "");
    if (c.exitCode == 6) {
        EXPECT_EQ(readFile(dir / "worktodo.txt"), "");
        EXPECT_FALSE(fileExists(dir / "kalvenor.cpt"));
        for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
            EXPECT_FALSE(entry.path().extension() == ".cpt") << entry.path();
    } else {
        EXPECT_EQ(filesIn(dir.path()), before);
    }
    if (c.more) c.more(dir.path(), run);
}

}  // namespace kalvenor::testing
