// The program entry: start-up, device description, the transfer buffers,
// the assignment loop, teardown. Returns the process exit code.
#pragma once

namespace kalvenor {

int runProgram(int argc, char** argv);

}  // namespace kalvenor
