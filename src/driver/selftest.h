// A check of every kernel on the device in use, before it is trusted with
// weeks of work: known factors must be reported, and random multipliers at
// both edges of each kernel's level must end in the host reference's residue.
#pragma once

#include <cstdio>

#include "device/runtime.h"

namespace kalvenor {

// Prints one line per kernel and a summary to `out`; true when all passed.
bool runSelftest(Runtime& runtime, std::FILE* out = stdout);

}  // namespace kalvenor
