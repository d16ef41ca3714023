// Where a run keeps its files. Plainly the names below in the current
// directory; a client that hands the program its files (BOINC) may map each
// name to a file of its own, once at start.
#pragma once

#include <functional>
#include <string>

namespace kalvenor {

inline constexpr const char* kWorkPath = "worktodo.txt";
inline constexpr const char* kResultsPath = "results.txt";
inline constexpr const char* kFactorsPath = "factors.txt";
inline constexpr const char* kCheckpointPath = "kalvenor.cpt";
inline constexpr const char* kRecordsPath = "results.jsonl";
inline constexpr const char* kLockPath = "kalvenor.lock";

struct WorkPaths {
    std::string work = kWorkPath;
    std::string results = kResultsPath;
    std::string factors = kFactorsPath;
    std::string checkpoint = kCheckpointPath;
    std::string records = kRecordsPath;
    std::string lock = kLockPath;
    // The same mapping for names made up during the run (a checkpoint kept
    // for a line set aside).
    std::function<std::string(const std::string&)> resolve = [](const std::string& name) { return name; };
};

// Every name passed through `resolve` (the logical name in, the file to use out).
template <class Resolve>
WorkPaths resolvedWorkPaths(Resolve resolve) {
    WorkPaths paths{resolve(kWorkPath),       resolve(kResultsPath), resolve(kFactorsPath),
                    resolve(kCheckpointPath), resolve(kRecordsPath), resolve(kLockPath)};
    paths.resolve = [resolve](const std::string& name) { return std::string(resolve(name.c_str())); };
    return paths;
}

}  // namespace kalvenor
