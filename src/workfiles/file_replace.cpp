#include "workfiles/file_replace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "workfiles/work_file_text.h"

namespace kalvenor {

namespace {

void reportFailure(const std::string& path, const char* step, const std::string& what, int error) {
    std::fflush(stdout);
    std::fprintf(stderr, "\nCan't rewrite %s: %s %s failed: %s\n%s is left as it was.\n",
                 path.c_str(), step, what.c_str(), std::strerror(error), path.c_str());
    std::fflush(stderr);
}

std::string directoryOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// O_EXCL with our own names instead of mkstemp, so the new file gets the
// usual 0666 & ~umask rather than mkstemp's 0600. The clock makes the name
// of each attempt new; O_EXCL settles any clash.
int createTemporary(const std::string& path, std::string& tempPath) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        const auto tick = std::chrono::steady_clock::now().time_since_epoch().count();
        tempPath = path + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(tick + attempt);
        const int fd = ::open(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    errno = EEXIST;
    return -1;
}

bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes.remove_prefix(static_cast<size_t>(written));
    }
    return true;
}

// Where the bytes of `path` live: a symbolic link is followed, so the
// link stays and its target is what gets replaced.
std::string targetOf(const std::string& path) {
    struct stat link {};
    if (::lstat(path.c_str(), &link) != 0 || !S_ISLNK(link.st_mode)) return path;
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (resolved == nullptr) return path;  // dangling: the rename replaces the link
    std::string target(resolved);
    std::free(resolved);
    return target;
}

}  // namespace

bool replaceFile(const std::string& linkPath, std::string_view bytes) {
    return replaceFileIfUnchanged(linkPath, std::nullopt, bytes) == Replacement::Done;
}

Replacement replaceFileIfUnchanged(const std::string& linkPath, std::optional<std::string_view> before, std::string_view bytes,
                                   const std::function<void()>& beforeCheck) {
    const std::string path = targetOf(linkPath);
    std::string tempPath;
    const int fd = createTemporary(path, tempPath);
    if (fd < 0) {
        reportFailure(path, "creating", tempPath, errno);
        return Replacement::Failed;
    }

    // Whoever made the file readable only to themselves wants it kept so.
    struct stat old {};
    if (::stat(path.c_str(), &old) == 0) (void)::fchmod(fd, old.st_mode & 07777);

    const char* step = nullptr;
    int error = 0;
    if (!writeAll(fd, bytes)) {
        step = "writing";
    } else {
        // A client library's interval timer may interrupt the flush.
        int synced;
        while ((synced = ::fsync(fd)) != 0 && errno == EINTR) {
        }
        if (synced != 0) step = "flushing";
    }
    if (step != nullptr) error = errno;
    if (::close(fd) != 0 && step == nullptr) {
        step = "closing";
        error = errno;
    }
    if (step == nullptr && before) {
        // Lines appended while the new content was made and written would
        // vanish with the rename: the caller reads the file again and retries.
        if (beforeCheck) beforeCheck();
        const std::optional<std::string> now = readWholeFile(path);
        if (now && *now != *before) {
            ::unlink(tempPath.c_str());
            return Replacement::Changed;
        }
    }
    if (step == nullptr && ::rename(tempPath.c_str(), path.c_str()) != 0) {
        error = errno;
        reportFailure(path, "renaming", tempPath, error);
        ::unlink(tempPath.c_str());
        return Replacement::Failed;
    }
    if (step != nullptr) {
        reportFailure(path, step, tempPath, error);
        ::unlink(tempPath.c_str());
        return Replacement::Failed;
    }

    // The rename itself is only durable once the directory entry is on disk.
    const int dirFd = ::open(directoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        (void)::fsync(dirFd);
        ::close(dirFd);
    }
    return Replacement::Done;
}

}  // namespace kalvenor
