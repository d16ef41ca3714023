#include "workfiles/log_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace kalvenor {

std::string timeStamp() {
    const std::time_t now = std::time(nullptr);
    return std::ctime(&now);
}

bool appendToLog(const std::string& path, const std::string& text) {
    int error = 0;
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        error = errno;
    } else {
        struct stat before {};
        const bool sized = ::fstat(fd, &before) == 0;
        for (size_t done = 0; done < text.size() && error == 0;) {
            const ssize_t written = ::write(fd, text.data() + done, text.size() - done);
            if (written >= 0) done += static_cast<size_t>(written);
            else if (errno != EINTR) error = errno;
        }
        int synced;
        while ((synced = ::fsync(fd)) != 0 && errno == EINTR) {
        }
        if (error == 0 && synced != 0 && errno != EINVAL) error = errno;
        // Half a record would read as a whole one: take back what got in.
        if (error != 0 && sized) (void)::ftruncate(fd, before.st_size);
        if (::close(fd) != 0 && error == 0) error = errno;
    }
    if (error == 0) return true;
    std::fflush(stdout);
    std::fprintf(stderr, "\nCan't write %s: %s\n", path.c_str(), std::strerror(error));
    std::fflush(stderr);
    return false;
}

}  // namespace kalvenor
