// Helpers shared by the test programs: scratch directories, child processes
// (the real binary or a function, with a file-size limit and a deadline),
// and the table of runs of the binary.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "support/files.h"

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

// A child process: the built kalvenor binary with `args`, or `body` (whose
// return value is the exit code), in `dir` (unless empty), with writes to
// files limited to fileSizeLimit bytes when it is not negative
// (RLIMIT_FSIZE: a write beyond fails with EFBIG, as on a full disk), and
// as user nobody when `unprivileged` and the tests run as root, whom file
// permissions do not stop.
struct Child {
    std::filesystem::path dir = {};
    std::vector<std::string> args = {};
    std::function<int()> body = {};
    long long fileSizeLimit = -1;
    int timeoutSeconds = 120;
    bool unprivileged = false;
    std::vector<std::string> environment = {};  // "NAME=value", added to the test's own
    std::vector<int> ignoredSignals = {};       // ignored from the start, as nohup does with SIGHUP
    // Standard output: captured, closed (`>&-`), or a pipe whose reader is gone (`| true`).
    enum class Output { Captured, Closed, ReaderGone } output = Output::Captured;
};

struct ProcessResult {
    int exitCode = -1;  // the exit status, or 128 + signal
    std::string out;    // standard output
    std::string err;    // standard error
};

// Runs the child to its end, or kills it at the deadline (exit code
// 128 + SIGKILL). Its output comes through pipes, which no file limit touches.
ProcessResult runChild(const Child& child);
ProcessResult runKalvenor(const std::filesystem::path& dir, const std::string& args = "", int timeoutSeconds = 120,
                          std::vector<std::string> environment = {});

// Starts the child without waiting, its output appended to `log`; returns
// its process id.
int startChild(const Child& child, const std::filesystem::path& log);
// Waits up to `milliseconds` for the process to end, then kills it with
// SIGKILL. Returns its exit status, or 128 + the signal that ended it.
int waitOrKill(int pid, int milliseconds);

// Number of non-overlapping occurrences of needle in haystack.
int countOf(const std::string& haystack, const std::string& needle);

// How often a text must show in an output: a count, or one of these.
inline constexpr int kAtLeastOnce = -1;
inline constexpr int kAtStart = -2;  // the output begins with it
inline constexpr int kWhole = -3;    // the output is the text and nothing more
struct Shows {
    Shows(std::string text, int times = kAtLeastOnce) : text(std::move(text)), times(times) {}
    Shows(const char* text, int times = kAtLeastOnce) : Shows(std::string(text), times) {}
    std::string text;
    int times;
};

// "" when `output` meets every expectation, else the ones it misses and the output.
std::string mismatches(const std::string& output, const std::vector<Shows>& expected);

// A run of the real binary in a fresh directory and what it must show.
// Every member has a default, so a table names only what matters to a case.
struct RunCase {
    const char* name = "";
    std::optional<std::string> worktodo = {};    // none: there is no worktodo.txt
    std::optional<std::string> checkpoint = {};  // kalvenor.cpt before the run
    std::vector<std::pair<std::string, std::string>> files = {};  // other files before the run: name, bytes
    std::string args = {};
    std::vector<std::string> environment = {};  // "NAME=value" for the run
    Child::Output output = Child::Output::Captured;
    std::function<void(const std::filesystem::path& dir)> prepare = {};  // more files before the run
    int timeoutSeconds = 120;
    int exitCode = 6;
    // Each is reported exactly once on the console and in factors.txt, which holds no other.
    std::vector<std::string> factors = {};
    std::vector<Shows> out = {};
    std::vector<Shows> err = {};  // when empty, standard error must stay empty
    std::vector<Shows> results = {};
    std::function<void(const std::filesystem::path& dir, const ProcessResult& run)> more = {};
};
void PrintTo(const RunCase& c, std::ostream* os);

// Runs `c` and checks what it asks, and what any run must leave: one that
// finished (exit code 6) no work and no checkpoint (nor one kept for a line), one that did no work
// the directory as it was.
void expectRun(const RunCase& c);

// Names each instance of a parameterised test after its case's `name`.
inline constexpr auto kCaseName = [](const auto& info) { return std::string(info.param.name); };

// Whether this build runs under AddressSanitizer (GCC's flag), whose shadow
// memory alone takes terabytes of address space: an address-space limit starves it.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kAddressSanitizer = true;
#else
inline constexpr bool kAddressSanitizer = false;
#endif

}  // namespace kalvenor::testing
