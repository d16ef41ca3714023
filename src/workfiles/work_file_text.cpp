#include "workfiles/work_file_text.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace kalvenor {

std::optional<std::string> readWholeFile(const std::string& path) {
    // Non-blocking, so that opening a FIFO cannot wait for a writer.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    struct stat info {};
    int error = ::fstat(fd, &info) != 0 ? errno
                : S_ISDIR(info.st_mode)  ? EISDIR
                : !S_ISREG(info.st_mode) ? EINVAL
                : static_cast<size_t>(info.st_size) > kLargestWorkFile ? EFBIG
                                                                       : 0;
    std::string bytes;
    char buffer[65536];
    while (error == 0 && bytes.size() <= kLargestWorkFile) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got == 0) break;
        if (got > 0) bytes.append(buffer, static_cast<size_t>(got));
        else if (errno != EINTR) error = errno;
    }
    if (error == 0 && bytes.size() > kLargestWorkFile) error = EFBIG;  // it grew while read
    ::close(fd);
    if (error == 0) return bytes;
    errno = error;
    return std::nullopt;
}

namespace {

// UTF-16 with a byte-order mark, or ASCII text in it without one: every
// other byte of the first characters is zero.
bool looksLikeUtf16(std::string_view bytes) {
    if (bytes.starts_with("\xFF\xFE") || bytes.starts_with("\xFE\xFF")) return true;
    if (bytes.size() < 4) return false;
    const bool little = bytes[0] != 0 && bytes[1] == 0 && bytes[2] != 0 && bytes[3] == 0;
    const bool big = bytes[0] == 0 && bytes[1] != 0 && bytes[2] == 0 && bytes[3] != 0;
    return little || big;
}

}  // namespace

std::optional<std::string> readWorkFile(const std::string& path) {
    std::optional<std::string> bytes = readWholeFile(path);
    std::fflush(stdout);
    if (!bytes && errno == EINVAL) {
        std::fprintf(stderr, "\n%s is not a regular file; it is left as it is.\n", path.c_str());
    } else if (!bytes && errno == EFBIG) {
        std::fprintf(stderr, "\n%s is larger than %zu MiB, far more than any list of assignments; it is left as it is.\n",
                     path.c_str(), kLargestWorkFile >> 20);
    } else if (!bytes) {
        std::perror("\nCan't open worktodo file");
    } else if (looksLikeUtf16(*bytes)) {
        std::fprintf(stderr, "\n%s is UTF-16 text; save it as plain text (ASCII or UTF-8). It is left as it is.\n",
                     path.c_str());
        return std::nullopt;
    }
    return bytes;
}

size_t byteOrderMarkLength(std::string_view bytes) {
    return bytes.starts_with("\xEF\xBB\xBF") ? 3 : 0;
}

std::string_view firstLine(std::string_view text) {
    const size_t newline = text.find('\n');
    return text.substr(0, newline == std::string_view::npos ? text.size() : newline + 1);
}

size_t visibleLength(std::string_view line) {
    if (line.ends_with('\n')) line.remove_suffix(1);
    if (line.ends_with('\r')) line.remove_suffix(1);
    return line.size();
}

}  // namespace kalvenor
