// One exponent's work: sieve the odd multipliers from kFirst to kEnd in
// segments, send the survivors to the device in batches, count them, save a
// checkpoint at most once a minute and report every factor found.
#pragma once

#include <cstdint>
#include <functional>
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

// What runSieve takes from the outside world besides the device, so that a
// test can drive the minute timer and watch the checkpoints.
struct SieveHooks {
    std::function<int64_t()> clockSeconds;                   // wall clock, whole seconds
    std::function<void(RunState&, uint64_t)> checkpoint;     // state, walk position
};

// std::time and writeCheckpoint.
SieveHooks defaultSieveHooks();

// Tests exponent state.nCurrent; adds to state.kTested and state.factors.
// kFirst must be odd; kEnd is inclusive and may be 2^64-1.
void runSieve(uint64_t kFirst, uint64_t kEnd, RunState& state, const SieveContext& context);
void runSieve(uint64_t kFirst, uint64_t kEnd, RunState& state, const SieveContext& context,
              const SieveHooks& hooks);

}  // namespace kalvenor
