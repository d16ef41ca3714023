// The state of the assignment being run: the range (always the first line of
// worktodo.txt after any cut), how far it has got, and the tallies its summary
// lines report. The assignment loop owns it and hands it down.
#pragma once

#include <cstdint>

#include "workfiles/assignment_line.h"

namespace kalvenor {

struct RunState {
    Assignment line;  // the first line of worktodo.txt as it stands (kStart as written)
    // the range
    uint32_t nStart = 0;
    uint32_t nEnd = 0;
    uint64_t kStart = 0;  // odd once readAssignment has accepted the line
    uint64_t kEnd = 0;
    // the progress
    uint32_t nCurrent = 0;
    uint64_t kCurrent = 0;
    uint64_t kTested = 0;
    // the tallies
    double seconds = 0.0;    // time spent on the current exponent
    int32_t factors = 0;     // factors found in the current range
    uint64_t numbers = 0;    // kEnd - kStart + 1, modulo 2^64
    double clockMark = 0.0;  // milliseconds since start at the last time mark
    double rate = 0.0;
};

// Wall-clock milliseconds since the process started (a steady clock, so a
// change of the system time never makes an interval negative).
double elapsedMilliseconds();

}  // namespace kalvenor
