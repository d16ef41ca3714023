// worktodo.txt: reading and checking its first line, cutting it so one kernel
// serves it, and removing it once done or rejected.
#pragma once

#include <cstdint>
#include <string>

#include "workfiles/run_state.h"

namespace kalvenor {

// The result code of ResultCode for a work file that could not be rewritten;
// the old file is left as it was and the program stops with this exit code.
inline constexpr int32_t kWorkFileWriteFailed = 7;

// Reads, checks and (if needed) cuts the first line of `path`, then restores
// or initialises the progress from the checkpoint. Returns a ResultCode 0..5
// (or kWorkFileWriteFailed). On 0 `state` holds the run now and its start or
// continue message has been printed.
int32_t readAssignment(const std::string& path, RunState& state);

// Deletes the checkpoint and drops the first line of `path`. Returns 0 when
// lines remain, 6 when the file is now empty, kWorkFileWriteFailed when it
// could not be rewritten (the old file stays as it was).
int32_t removeFirstLine(const std::string& path);

}  // namespace kalvenor
