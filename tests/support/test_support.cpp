#include "support/test_support.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
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

int countOf(const std::string& haystack, const std::string& needle) {
    if (needle.empty()) return 0;
    int count = 0;
    for (size_t at = haystack.find(needle); at != std::string::npos;
         at = haystack.find(needle, at + needle.size()))
        ++count;
    return count;
}

}  // namespace kalvenor::testing
