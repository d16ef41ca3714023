// What every fuzz target needs: its own scratch directory to work in (the
// work files have fixed names in the current directory), a quiet console,
// and a way to stop with the input kept. Files are read and written with
// the tests' helpers.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

#include "support/files.h"

namespace kalvenor::fuzz {

using testing::readFile;
using testing::writeFile;

// Moves into a fresh temporary directory, removed again when the process
// ends short of a crash, and sends standard output to /dev/null (the readers
// print a message for every line they judge). Only the first call acts.
inline void enterScratchDirectory() {
    static std::string directory;
    if (!directory.empty()) return;
    directory = (std::filesystem::temp_directory_path() / "kalvenor-fuzz-XXXXXX").string();
    if (::mkdtemp(directory.data()) == nullptr || ::chdir(directory.c_str()) != 0) std::abort();
    std::atexit([] { std::filesystem::remove_all(directory); });
    std::fflush(stdout);
    ::dup2(::open("/dev/null", O_WRONLY), 1);
}

// Stops the run with a message on standard error; libFuzzer saves the input.
[[noreturn]] inline void fail(const char* what, std::string_view detail = {}) {
    std::fprintf(stderr, "\nINVARIANT BROKEN: %s [%.*s]\n", what, static_cast<int>(detail.size()), detail.data());
    std::abort();
}

}  // namespace kalvenor::fuzz
