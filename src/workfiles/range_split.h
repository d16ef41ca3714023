// Cutting an assignment so that every line that is run lies in one exponent
// window (32q ... 32q+31) and one word count that a kernel serves there: the
// lower level q+2 or the upper level q+3 (none in the window 576 ... 607).
#pragma once

#include <vector>

#include "workfiles/assignment_line.h"

namespace kalvenor {

// The lines that take the place of `line` in the file, in file order; the
// first is the one to run now. Empty when the line needs no cut. Candidates
// without a kernel (below the lower level, or above it in the top window)
// are left out, unless a whole window part has none with a kernel: such a
// line is kept for the kernel choice to refuse.
std::vector<Assignment> splitRange(const Assignment& line);

}  // namespace kalvenor
