// Helpers shared by the test programs: scratch directories, whole-file
// reads and writes, and running the real binary.
#pragma once

#include <filesystem>
#include <string>

namespace kalvenor::testing {

// A fresh directory under the system temp dir, removed again at the end.
// With enter = true the process works inside it until destruction.
class ScratchDir {
public:
    explicit ScratchDir(bool enter = true);
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
    std::filesystem::path previous_;
    bool entered_;
};

std::string readFile(const std::filesystem::path& path);  // "" when missing
void writeFile(const std::filesystem::path& path, const std::string& bytes);
bool fileExists(const std::filesystem::path& path);

struct ProcessResult {
    int exitCode = -1;   // the exit status, or 128 + signal
    std::string out;     // standard output
    std::string err;     // standard error
};

// Runs the built kalvenor binary with `args` inside `dir`, waiting at most
// timeoutSeconds (then it is killed and exitCode is 128 + SIGKILL).
ProcessResult runKalvenor(const std::filesystem::path& dir, const std::string& args = "",
                          int timeoutSeconds = 120);

// Number of non-overlapping occurrences of needle in haystack.
int countOf(const std::string& haystack, const std::string& needle);

}  // namespace kalvenor::testing
