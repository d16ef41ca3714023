// readAssignment up to the checkpoint, apart so that reading and cutting the
// file can be exercised without the checkpoint and its messages.
#pragma once

#include <string>

#include "workfiles/assignment_status.h"
#include "workfiles/run_state.h"

namespace kalvenor {

// Reads and judges the first line of `path` and cuts it until one kernel
// serves what comes first: the pieces replace it at the top of the file and
// the parts no kernel serves are named on the console, in results.txt and in
// results.jsonl, before the file changes. A line with nothing a kernel
// serves goes with that (FileEmpty when that empties the file). A refused
// line (LineTooLong, NoKeyword, BadValues: for the caller to remove) is
// noted the same way with its reason first. Where a record cannot be
// written the file stays as it is (WriteFailed). On Ready `state` holds the
// first line (kStart made odd). Returns anything but CheckpointMismatch and
// CheckpointUnreadable.
AssignmentStatus readAndSplitAssignment(const std::string& path, RunState& state);

}  // namespace kalvenor
