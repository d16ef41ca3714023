// kalvenor.cpt: how far the run of the current line has got.
#pragma once

#include <cstdint>

#include "workfiles/assignment_status.h"
#include "workfiles/run_state.h"

namespace kalvenor {


// Saves the progress of exponent nCurrent, whose walk continues at k, and
// prints the progress line. Updates seconds, clockMark and rate.
void writeCheckpoint(RunState& state, uint64_t k);

// Sets nCurrent, kCurrent, kTested, seconds and factors from the checkpoint
// (or to the range's start when there is none) and prints the start or
// continue message. Returns Ready, or CheckpointMismatch when the checkpoint
// does not fit.
AssignmentStatus restoreCheckpoint(RunState& state);

// Called when exponent nCurrent has been completed and summarised: if a
// checkpoint exists, or `create` asks for one, it is replaced by (or is) one
// for the start of the next exponent (nCurrent + 1 at kStart, nothing tested
// yet), so a restart neither repeats nor throws away finished exponents.
void advanceCheckpoint(const RunState& state, bool create = false);

}  // namespace kalvenor
