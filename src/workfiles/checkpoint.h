// kalvenor.cpt: how far the run of the current line has got.
#pragma once

#include <cstdint>
#include <string>

#include "workfiles/assignment_status.h"
#include "workfiles/run_state.h"

namespace kalvenor {


// The file that keeps the checkpoint of `line` while other lines run before
// it: kalvenor-NSTART-NEND-KSTART-KEND.cpt, the values as written in
// worktodo.txt, so each piece of a cut line has its own. Resolved through
// WorkPaths::resolve beside kalvenor.cpt; removed once its line is gone.
std::string keptCheckpointName(const Assignment& line);

// Removes, with a message, the kept checkpoints whose lines are no longer in
// worktodo.txt: their work can never be taken up again. Nothing when
// worktodo.txt cannot be read.
void dropKeptCheckpointsOfLinesGone(const WorkPaths& paths);

// Saves the progress of exponent nCurrent, whose walk continues at k, and
// prints the progress line. Updates seconds, clockMark and rate.
void writeCheckpoint(RunState& state, uint64_t k);

// Sets nCurrent, kCurrent, kTested, seconds and factors from the checkpoint
// (or to the range's start when there is none) and prints the start or
// continue message. A checkpoint of a line further down worktodo.txt is
// kept for it, and this line's kept one taken up. Returns Ready,
// CheckpointMismatch when the checkpoint cannot be right (said why), or
// CheckpointUnreadable.
AssignmentStatus restoreCheckpoint(RunState& state);

// Called when exponent nCurrent has been completed and summarised: if a
// checkpoint exists, or `create` asks for one, it is replaced by (or is) one
// for the start of the next exponent (nCurrent + 1 at kStart, nothing tested
// yet), so a restart neither repeats nor throws away finished exponents.
void advanceCheckpoint(const RunState& state, bool create = false);

}  // namespace kalvenor
