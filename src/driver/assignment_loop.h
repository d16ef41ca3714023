// The working life of the program: take the first line of worktodo.txt, run
// its range exponent by exponent, log it, remove it, and go on until the
// file is empty.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kernels/runtime.h"
#include "kernels/transfer_buffers.h"
#include "workfiles/run_state.h"

namespace kalvenor {

struct DeviceContext {
    Runtime& runtime;
    TransferBuffers& buffers;
    const DeviceInfo& device;
};

// Returns the exit code: 1 (no assignment), 6 (work done), -1 (an obsolete
// checkpoint could not be deleted) or kWorkFileWriteFailed.
int32_t runAssignmentLoop(const DeviceContext& context);

// Runs the range readAssignment has just accepted; returns removeFirstLine's code.
int32_t runAssignment(const DeviceContext& context);

// Runs exponent nCurrent over kCurrent..kEnd and logs its summary.
void runExponent(const DeviceContext& context, const std::vector<uint32_t>& smallPrimes);

// The summary line of an exponent, without time stamp; the rate stays finite
// when no time could be measured.
std::string exponentSummary(const RunState& state);

}  // namespace kalvenor
