#include "fuzz_scratch.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace kalvenor::fuzz {

void enterScratchDirectory() {
    static bool entered = false;
    if (entered) return;
    entered = true;
    char pattern[] = "/tmp/kalvenor-fuzz-XXXXXX";
    if (::mkdtemp(pattern) == nullptr || ::chdir(pattern) != 0) {
        std::perror("kalvenor fuzz: scratch directory");
        std::abort();
    }
    // The directory is removed again when the process ends, however it ends
    // short of a crash that libFuzzer wants to keep the files of.
    static const std::string directory = pattern;
    std::atexit([] {
        for (const char* name : {"worktodo.txt", "kalvenor.cpt", "results.txt", "factors.txt"})
            ::unlink((directory + "/" + name).c_str());
        ::rmdir(directory.c_str());
    });
    const int devnull = ::open("/dev/null", O_WRONLY);
    if (devnull >= 0) {
        std::fflush(stdout);
        ::dup2(devnull, 1);
        ::close(devnull);
    }
}

void writeBytes(const char* path, std::string_view bytes) {
    std::FILE* file = std::fopen(path, "wb");
    if (file == nullptr) fail("cannot create", path);
    if (std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size()) fail("cannot write", path);
    std::fclose(file);
}

std::string readBytes(const char* path) {
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) return {};
    std::string bytes;
    char buffer[4096];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) bytes.append(buffer, got);
    std::fclose(file);
    return bytes;
}

void removeFile(const char* path) { ::unlink(path); }

void fail(const char* what, std::string_view detail) {
    std::fprintf(stderr, "\nINVARIANT BROKEN: %s [%.*s]\n", what, static_cast<int>(detail.size()),
                 detail.data());
    std::abort();
}

}  // namespace kalvenor::fuzz
