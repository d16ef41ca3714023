// kalvenor --cut N LINE: the line as work units, one per output line, for a
// work generator, a job array or a few machines by hand.
#pragma once

#include <cstdint>
#include <string>

#include "driver/exit_code.h"

namespace kalvenor {

// Prints the units of `line` (with or without its "FermatFactor=") on
// standard output and names the parts no kernel serves on standard error.
// With `costs`, each unit is followed by its estimated cost and the depth
// the host sieve takes for it, for a work generator's estimates and the depth
// it pins. Success, or Usage when the line is not one the program would run.
ExitCode printWorkUnits(const std::string& line, uint32_t count, bool costs);

}  // namespace kalvenor
