// The parts of readAssignment, apart so the cutting of the file can be
// exercised without the checkpoint and its messages.
#pragma once

#include <string>
#include <string_view>

#include "workfiles/assignment_status.h"
#include "workfiles/run_state.h"

namespace kalvenor {

// readAssignment up to the checkpoint: reads and judges the first line, cuts
// the file if needed and leaves the new first line (kStart made odd) in
// `state`. Returns anything but CheckpointMismatch and FileEmpty.
AssignmentStatus readAndSplitAssignment(const std::string& path, RunState& state);

// Cuts the range in `state` (as read, kStart not yet odd). When it needs
// cutting, `path` is replaced by the new lines followed by `remainder`, and
// `state` takes the new first line. Returns Ready or WriteFailed; on
// failure the file and `state` are as they were.
AssignmentStatus splitAssignment(const std::string& path, std::string_view remainder, RunState& state);

}  // namespace kalvenor
