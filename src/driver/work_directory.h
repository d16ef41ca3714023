// The current directory as the place a run works in: held by one process
// at a time, and able to take the files a run writes.
#pragma once

#include <sys/file.h>

#include <string>

#include "driver/exit_code.h"
#include "workfiles/work_paths.h"

namespace kalvenor {


// An exclusive lock on kalvenor.lock, released by the system when the
// process ends however it ends, so no stale lock survives a kill -9.
class DirectoryLock {
public:
    DirectoryLock() = default;
    DirectoryLock(DirectoryLock&& other) noexcept : fd_(other.fd_), sharedFd_(other.sharedFd_) {
        other.fd_ = other.sharedFd_ = -1;
    }
    DirectoryLock& operator=(DirectoryLock&&) = delete;
    ~DirectoryLock();

    // Success, AnotherInstance (another process holds it; nothing was
    // touched) or WorkFileWriteFailed (no lock file can be made here, or the
    // file system takes no locks), each said on standard error. The holder
    // writes its process id and host into the file, for the message of the
    // next one. `lock` stands for flock(2), for tests of file systems that lack it.
    ExitCode acquire(const std::string& path = kLockPath, int (*lock)(int, int) = ::flock);
    // The run's lock, and where worktodo.txt is a symbolic link into another
    // directory, the lock of that directory too: two directories linking to
    // one file must not both run it.
    ExitCode acquire(const WorkPaths& paths, int (*lock)(int, int) = ::flock);

private:
    int fd_ = -1;
    int sharedFd_ = -1;
};

// Whether a run can write here: a file can be made in the directory, and
// the logs it appends to, where they exist, are files it may write. Says
// what is wrong on standard error.
bool directoryTakesTheRun(const WorkPaths& paths = {});

// Opens /dev/null on whichever of descriptors 0, 1 and 2 is closed
// (`kalvenor >&-`), before any file is opened: else the first file opened
// would take the number and the console text would be written into it.
void keepStandardDescriptorsOpen();

// Removes the temporary files of worktodo.txt and kalvenor.cpt that a run
// killed while it rewrote them left behind, once the lock is held (no other
// kalvenor writes them then), and says which.
void removeStaleTemporaries(const WorkPaths& paths = {});

}  // namespace kalvenor
