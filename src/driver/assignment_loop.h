// The working life of the program: take the first line of worktodo.txt, run
// its range exponent by exponent, log it, remove it, and go on until the
// file is empty.
#pragma once

#include <span>
#include <string>

#include "device/runtime.h"
#include "device/thread_pool.h"
#include "device/transfer_buffers.h"
#include "driver/exit_code.h"
#include "driver/launch_config.h"
#include "driver/run_host.h"
#include "driver/stop_signals.h"
#include "workfiles/run_state.h"

namespace kalvenor {

struct WorkContext {
    Runtime& runtime;
    std::span<TransferBuffers> slots;  // the ring of batches in flight
    const DeviceInfo& device;
    SieveRequest sieve;
    ThreadPool& sieveWorkers;
    const StopSignals& stop;
    const WorkPaths& paths;
    RunHost& host;
    bool liveProgress = false;  // a status line on the terminal
};

// Returns WorkDone when the last line is done, or why it stopped before.
ExitCode runAssignmentLoop(const WorkContext& context);

// The summary line of an exponent, without time stamp; the rate stays finite
// when no time could be measured.
std::string exponentSummary(const RunState& state);

}  // namespace kalvenor
