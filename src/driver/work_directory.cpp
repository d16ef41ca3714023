#include "driver/work_directory.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace kalvenor {

namespace {

void sayWhyNot(const char* what, int error) {
    std::fflush(stdout);
    std::fprintf(stderr,
                 "\nkalvenor: %s: %s\nA run writes worktodo.txt, kalvenor.cpt, results.txt, factors.txt, "
                 "results.jsonl and kalvenor.lock in this directory; nothing was run.\n",
                 what, std::strerror(error));
}

}  // namespace

DirectoryLock::~DirectoryLock() {
    if (fd_ >= 0) ::close(fd_);
}

ExitCode DirectoryLock::acquire(const std::string& path) {
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd_ < 0) {
        sayWhyNot("can't make kalvenor.lock", errno);
        return ExitCode::WorkFileWriteFailed;
    }
    if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) return ExitCode::Success;
    const int error = errno;
    ::close(fd_);
    fd_ = -1;
    std::fflush(stdout);
    if (error == EWOULDBLOCK) {
        std::fprintf(stderr, "kalvenor: another kalvenor is working in this directory (it holds kalvenor.lock); "
                             "this one stops and touches nothing.\n");
        return ExitCode::AnotherInstance;
    }
    sayWhyNot("can't lock kalvenor.lock", error);
    return ExitCode::WorkFileWriteFailed;
}

bool directoryTakesTheRun(const WorkPaths& paths) {
    const std::string probe = ".kalvenor-write-check-" + std::to_string(::getpid());
    const int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        sayWhyNot("can't make files in this directory", errno);
        return false;
    }
    ::close(fd);
    ::unlink(probe.c_str());
    for (const std::string& log : {paths.results, paths.factors, paths.records}) {
        struct stat info {};
        if (::stat(log.c_str(), &info) != 0) continue;  // made on the first append
        if (!S_ISREG(info.st_mode) || ::access(log.c_str(), W_OK) != 0) {
            sayWhyNot(("can't append to " + log).c_str(), S_ISREG(info.st_mode) ? errno : S_ISDIR(info.st_mode) ? EISDIR : EINVAL);
            return false;
        }
    }
    return true;
}

}  // namespace kalvenor
