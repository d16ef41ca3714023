// The program entry: start-up, device description, the transfer buffers,
// the assignment loop, teardown. Returns the process exit code.
#pragma once

#include "driver/run_host.h"

namespace kalvenor {

int runProgram(int argc, char** argv, RunHost& host);

}  // namespace kalvenor
