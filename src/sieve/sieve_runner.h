// One exponent's work: sieve the odd multipliers from kFirst to kEnd in
// segments, send the survivors to the device in batches, count them, save a
// checkpoint at most once a minute and report every factor found.
#pragma once

#include <cstdint>
#include <vector>

#include "driver/launch_config.h"
#include "kernels/runtime.h"
#include "kernels/transfer_buffers.h"
#include "workfiles/run_state.h"

namespace kalvenor {

struct SieveContext {
    Runtime& runtime;
    TransferBuffers& buffers;
    const LaunchConfig& config;
    const std::vector<uint32_t>& smallPrimes;
};

// Tests exponent state.nCurrent; adds to state.kTested and state.factors.
void runSieve(uint64_t kFirst, uint64_t kEnd, RunState& state, const SieveContext& context);

}  // namespace kalvenor
