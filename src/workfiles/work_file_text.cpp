#include "workfiles/work_file_text.h"

#include <cerrno>
#include <cstdio>

namespace kalvenor {

std::optional<std::string> readWholeFile(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return std::nullopt;
    std::string bytes;
    char buffer[65536];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) bytes.append(buffer, got);
    const bool failed = std::ferror(file) != 0;
    const int error = errno;
    std::fclose(file);
    if (failed) {
        errno = error;
        return std::nullopt;
    }
    return bytes;
}

std::optional<std::string> readWorkFile(const std::string& path) {
    std::optional<std::string> bytes = readWholeFile(path);
    if (!bytes) {
        std::fflush(stdout);
        std::perror("\nCan't open worktodo file");
    }
    return bytes;
}

size_t byteOrderMarkLength(std::string_view bytes) {
    return bytes.starts_with("\xEF\xBB\xBF") ? 3 : 0;
}

size_t lineLength(std::string_view text) {
    const std::string_view window = text.substr(0, kLineLimit);
    const size_t newline = window.find('\n');
    return newline == std::string_view::npos ? window.size() : newline + 1;
}

}  // namespace kalvenor
