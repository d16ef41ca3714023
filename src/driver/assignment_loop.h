// The working life of the program: take the first line of worktodo.txt, run
// its range exponent by exponent, log it, remove it, and go on until the
// file is empty.
#pragma once

#include <string>

#include "device/runtime.h"
#include "device/thread_pool.h"
#include "device/transfer_buffers.h"
#include "driver/exit_code.h"
#include "workfiles/run_state.h"

namespace kalvenor {

struct DeviceContext {
    Runtime& runtime;
    TransferBuffers& buffers;
    const DeviceInfo& device;
    ThreadPool& sieveWorkers;
};

// Returns WorkDone, Stopped (no assignment, or a line that cannot run),
// WorkFileWriteFailed or RuntimeFailure.
ExitCode runAssignmentLoop(const DeviceContext& context);

// The summary line of an exponent, without time stamp; the rate stays finite
// when no time could be measured.
std::string exponentSummary(const RunState& state);

}  // namespace kalvenor
