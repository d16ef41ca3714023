#include "driver/work_directory.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
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
    for (int fd : {fd_, sharedFd_})
        if (fd >= 0) ::close(fd);
}

namespace {

std::string directoryOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::string realPath(const std::string& path) {
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (resolved == nullptr) return {};
    std::string real(resolved);
    std::free(resolved);
    return real;
}

// Locks `path` into `fd`; `where` names what the lock guards, for the one refused.
// `shown` is the name the messages give the file.
ExitCode lockFile(const std::string& path, int (*lock)(int, int), int& fd, const std::string& where, const std::string& shown) {
    fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        sayWhyNot(("can't make " + shown).c_str(), errno);
        return ExitCode::WorkFileWriteFailed;
    }
    if (lock(fd, LOCK_EX | LOCK_NB) == 0) {
        // Who holds it, for the one refused: on a network file system a lock
        // can outlive its holder, and only the holder's name says so.
        char host[256] = "?";
        ::gethostname(host, sizeof host - 1);
        const std::string holder = "pid " + std::to_string(::getpid()) + " on " + host + "\n";
        const bool noted = ::ftruncate(fd, 0) == 0 && ::pwrite(fd, holder.data(), holder.size(), 0) > 0;
        (void)noted;  // a lock that holds matters more than its note
        return ExitCode::Success;
    }
    const int error = errno;
    std::fflush(stdout);
    if (error == EWOULDBLOCK) {
        char note[300] = {};
        const ssize_t got = ::pread(fd, note, sizeof note - 1, 0);
        std::string holder(note, got > 0 ? static_cast<size_t>(got) : 0);
        if (!holder.empty() && holder.back() == '\n') holder.pop_back();
        std::fprintf(stderr,
                     "kalvenor: another kalvenor is working %s (it holds %s%s%s); "
                     "this one stops and touches nothing.\n"
                     "If that process is gone, its host is down and the directory is on NFS, the server keeps the "
                     "lock until the host is back or its lease ends (NFSv4: about 90 s); once sure, delete "
                     "%s.\n",
                     where.c_str(), shown.c_str(), holder.empty() ? "" : ": ", holder.c_str(), shown.c_str());
        ::close(fd);
        fd = -1;
        return ExitCode::AnotherInstance;
    }
    ::close(fd);
    fd = -1;
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
    sayWhyNot(("can't lock " + shown).c_str(), error);
    return ExitCode::WorkFileWriteFailed;
}

}  // namespace

ExitCode DirectoryLock::acquire(const std::string& path, int (*lock)(int, int)) {
    return lockFile(path, lock, fd_, "in this directory", kLockPath);
}

ExitCode DirectoryLock::acquire(const WorkPaths& paths, int (*lock)(int, int)) {
    if (const ExitCode own = acquire(paths.lock, lock); own != ExitCode::Success) return own;
    // Two directories whose worktodo.txt link to one file would each run
    // every line of it: the lock that counts is the one beside the file
    // itself, which a run in that file's own directory holds too. A client
    // that maps the names (BOINC) gives each task files of its own.
    struct stat link {};
    if (paths.work != kWorkPath || ::lstat(paths.work.c_str(), &link) != 0 || !S_ISLNK(link.st_mode)) return ExitCode::Success;
    const std::string target = realPath(paths.work);
    if (target.empty()) return ExitCode::Success;  // dangling: there is no work to share
    const std::string targetDirectory = directoryOf(target);
    if (targetDirectory == realPath(directoryOf(paths.lock))) return ExitCode::Success;
    const std::string sharedLock = targetDirectory + "/" + kLockPath;
    const ExitCode shared = lockFile(sharedLock, lock, sharedFd_, "on the file worktodo.txt links to, " + target, sharedLock);
    if (shared != ExitCode::Success) {
        ::close(fd_);
        fd_ = -1;
    }
    return shared;
}

namespace {

// "<name>.tmp-<pid>-<number>", the names replaceFile gives its temporary
// files; the process id, or 0 for any other name.
long writerOf(const std::string& entry, const std::string& name) {
    const std::string prefix = name + ".tmp-";
    if (entry.compare(0, prefix.size(), prefix) != 0) return 0;
    const std::string rest = entry.substr(prefix.size());
    const size_t dash = rest.find('-');
    const auto digits = [](const std::string& text) {
        return !text.empty() && text.size() < 19 && text.find_first_not_of("0123456789") == std::string::npos;
    };
    if (dash == std::string::npos || !digits(rest.substr(0, dash)) || !digits(rest.substr(dash + 1))) return 0;
    return std::stol(rest.substr(0, dash));
}

}  // namespace

void removeStaleTemporaries(const WorkPaths& paths) {
    std::string work = realPath(paths.work);
    if (work.empty()) work = paths.work;
    for (const std::string& file : {work, paths.checkpoint}) {
        const std::string directory = directoryOf(file);
        const std::string name = file.substr(file.find_last_of('/') + 1);
        DIR* listing = ::opendir(directory.c_str());
        if (listing == nullptr) continue;
        while (const dirent* entry = ::readdir(listing)) {
            const long pid = writerOf(entry->d_name, name);
            // The lock keeps every other kalvenor out of these files; a
            // process of that number still alive is left alone all the same.
            if (pid <= 0 || ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM) continue;
            const std::string stale = directory + "/" + entry->d_name;
            if (::unlink(stale.c_str()) == 0)
                std::printf("\nRemoved %s, left behind by a run that ended while it rewrote %s.\n", entry->d_name, name.c_str());
        }
        ::closedir(listing);
    }
    std::fflush(stdout);
}

void keepStandardDescriptorsOpen() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
        // The lowest free number: this one, since those below are open.
        const int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened >= 0 && opened != fd) ::close(opened);
    }
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
