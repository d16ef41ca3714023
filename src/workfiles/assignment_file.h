// worktodo.txt: reading and checking its first line, cutting it so one kernel
// serves it, and removing it once done or rejected.
#pragma once

#include <string>

#include "workfiles/assignment_status.h"
#include "workfiles/run_state.h"
#include "workfiles/work_paths.h"

namespace kalvenor {

// Reads, checks and (if needed) cuts the first line of `path`, then restores
// or initialises the progress from the checkpoint. On Ready `state` holds the
// run now and its start or continue message has been printed.
AssignmentStatus readAssignment(const std::string& path, RunState& state);

// Deletes the checkpoint and drops the first line of `path`, however long:
// Ready when lines remain, FileEmpty, WriteFailed (the old file stays as it
// was) or Unreadable.
AssignmentStatus removeFirstLine(const std::string& path, const std::string& checkpointPath = kCheckpointPath);

// The same for the line that was run, `line`: the first line of the file
// with its values, wherever it now stands; when there is none, nothing is
// removed and that is said.
AssignmentStatus removeFinishedLine(const std::string& path, const Assignment& line,
                                    const std::string& checkpointPath = kCheckpointPath);

}  // namespace kalvenor
