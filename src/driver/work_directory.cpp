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

ExitCode DirectoryLock::acquire(const std::string& path, int (*lock)(int, int)) {
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd_ < 0) {
        sayWhyNot("can't make kalvenor.lock", errno);
        return ExitCode::WorkFileWriteFailed;
    }
    if (lock(fd_, LOCK_EX | LOCK_NB) == 0) {
        // Who holds it, for the one refused: on a network file system a lock
        // can outlive its holder, and only the holder's name says so.
        char host[256] = "?";
        ::gethostname(host, sizeof host - 1);
        const std::string holder = "pid " + std::to_string(::getpid()) + " on " + host + "\n";
        const bool noted = ::ftruncate(fd_, 0) == 0 && ::pwrite(fd_, holder.data(), holder.size(), 0) > 0;
        (void)noted;  // a lock that holds matters more than its note
        return ExitCode::Success;
    }
    const int error = errno;
    std::fflush(stdout);
    if (error == EWOULDBLOCK) {
        char note[300] = {};
        const ssize_t got = ::pread(fd_, note, sizeof note - 1, 0);
        std::string holder(note, got > 0 ? static_cast<size_t>(got) : 0);
        if (!holder.empty() && holder.back() == '\n') holder.pop_back();
        std::fprintf(stderr,
                     "kalvenor: another kalvenor is working in this directory (it holds kalvenor.lock%s%s); "
                     "this one stops and touches nothing.\n"
                     "If that process is gone, its host is down and the directory is on NFS, the server keeps the "
                     "lock until the host is back or its lease ends (NFSv4: about 90 s); once sure, delete "
                     "kalvenor.lock.\n",
                     holder.empty() ? "" : ": ", holder.c_str());
        ::close(fd_);
        fd_ = -1;
        return ExitCode::AnotherInstance;
    }
    ::close(fd_);
    fd_ = -1;
    if (error == ENOSYS || error == EOPNOTSUPP || error == ENOLCK || error == EINVAL) {
        // Running unlocked would let a requeued task and the one it replaces,
        // or two runs of one unit, rewrite the same files unseen; refusing
        // costs a task that has done nothing yet and names the cure.
        std::fprintf(stderr,
                     "\nkalvenor: the file system of this directory takes no flock locks (%s), so kalvenor.lock cannot "
                     "keep a second kalvenor out; nothing was run.\nRun in a directory on a file system with locks: a "
                     "local disk, NFS with its lock service (not mounted 'nolock'), Lustre mounted with 'flock'.\n",
                     std::strerror(error));
        return ExitCode::WorkFileWriteFailed;
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
