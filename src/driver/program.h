// The program entry: start-up, device description, the transfer buffers,
// the assignment loop, teardown. Returns the process exit code.
#pragma once

#include "driver/run_host.h"

namespace kalvenor {

int runProgram(int argc, char** argv, RunHost& host);

// Whether the command line runs work, as a client's task does, rather than
// a command for a person (--help, --version, --cut, --selftest), which
// answers on the terminal and has no use for a client library, even when
// the rest of the line is mistyped.
bool runsWork(int argc, char** argv);

}  // namespace kalvenor
