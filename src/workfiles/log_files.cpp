#include "workfiles/log_files.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace kalvenor {

std::string timeStamp() {
    const std::time_t now = std::time(nullptr);
    return std::ctime(&now);
}

bool appendToLog(const char* path, const std::string& text) {
    int error = 0;
    std::FILE* file = std::fopen(path, "a");
    if (file == nullptr) {
        error = errno;
    } else {
        if (std::fwrite(text.data(), 1, text.size(), file) != text.size() ||
            std::fflush(file) != 0) {
            error = errno;
        }
        if (std::fclose(file) != 0 && error == 0) error = errno;
    }
    if (error == 0) return true;
    std::fflush(stdout);
    std::fprintf(stderr, "\nCan't write %s: %s\n", path, std::strerror(error));
    std::fflush(stderr);
    return false;
}

}  // namespace kalvenor
