// Cutting an assignment so that every line that is run lies in one exponent
// window (32q ... 32q+31) and one word count that a kernel serves there: the
// lower level q+2 or the upper level q+3.
#pragma once

#include <string>
#include <vector>

#include "workfiles/assignment_line.h"

namespace kalvenor {

// The lines that take the place of `line` in the file, in file order; the
// first is the one to run now. Empty when the line needs no cut. Candidates
// without a kernel (P below the lower level) are left out, unless a whole
// window part has none with a kernel: that part is left as a line of its own.
std::vector<Assignment> splitRange(const Assignment& line);

// What becomes of `line` when it comes first in the file.
struct RangeCut {
    bool cut = false;                  // whether the line is replaced at all
    std::vector<Assignment> lines;     // what replaces it, in file order; may be none
    std::vector<Assignment> untested;  // the parts of its first window that no kernel
                                       // serves, which the program names and leaves out
};

// splitRange, without the window parts that hold nothing a kernel serves,
// and with every part left out named. When `lines` is empty the line goes
// away; when the first of them still spans windows it is cut in its turn.
RangeCut cutRange(const Assignment& line);

// "n=96-118, k=3-1001: not tested, no kernel for P below 2^128\n"
std::string untestedMessage(const Assignment& part);

}  // namespace kalvenor
