// readAssignment up to the checkpoint, apart so that reading and cutting the
// file can be exercised without the checkpoint and its messages.
#pragma once

#include <string>

#include "workfiles/assignment_status.h"
#include "workfiles/run_state.h"

namespace kalvenor {

// Reads and judges the first line of `path` and cuts it until one kernel
// serves what comes first: the pieces replace it at the top of the file and
// the parts no kernel serves are named on the console and in results.txt. A
// line with nothing a kernel serves goes with that; so does an overlong line
// (LineTooLong, for the caller to remove). On Ready `state` holds the first
// line (kStart made odd). Returns anything but CheckpointMismatch,
// CheckpointUnreadable and FileEmpty.
AssignmentStatus readAndSplitAssignment(const std::string& path, RunState& state);

}  // namespace kalvenor
