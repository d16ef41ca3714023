// Work units: an assignment cut into lines of about equal cost, each served
// by one kernel as it stands, for machines that run one line each.
#pragma once

#include <cstdint>
#include <vector>

#include "workfiles/assignment_line.h"

namespace kalvenor {

struct WorkUnits {
    std::vector<Assignment> units;     // in file order; no later cut changes any of them
    std::vector<Assignment> untested;  // the parts no kernel serves, which no unit holds
};

// Cuts `line` into at least `count` units (fewer only when it holds fewer
// odd multipliers with a kernel) whose k ranges, with the parts left out,
// hold every odd multiplier of the line at every exponent exactly once.
WorkUnits cutIntoUnits(const Assignment& line, uint32_t count);

// The estimated cost of running `unit`, which one kernel serves: candidates
// times squarings times the kernel's multiply-adds per squaring. The sieve
// keeps about the same share everywhere, so it does not change the ratios.
double unitCost(const Assignment& unit);

}  // namespace kalvenor
