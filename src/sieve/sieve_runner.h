// One exponent's work: sieve the odd multipliers from kFirst to kEnd in
// segments, on the host or on the device, test the survivors on the device
// in batches, count them, save a checkpoint at most once a minute and report
// every factor found. Batches go round a ring of slots, each with its own
// queue, so the device works on one while the next is prepared.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "device/runtime.h"
#include "device/thread_pool.h"
#include "arith/reference_powmod.h"
#include "device/transfer_buffers.h"
#include "sieve/batch_check.h"
#include "sieve/device_sieve.h"
#include "workfiles/run_state.h"

namespace kalvenor {

// What the sieve takes of the launch configuration.
struct SieveSettings {
    int kernelIndex = -1;
    uint32_t batchCapacity = 0;  // multipliers per launch, one per thread
    uint32_t segmentLength = 0;  // odd multipliers per host sieve segment
};

struct SieveContext {
    Runtime& runtime;
    std::span<TransferBuffers> slots;  // the ring: one batch in flight in each
    ThreadPool& workers;  // sieve and collect long segments in parts
    const SieveSettings& settings;
    const std::vector<uint32_t>& smallPrimes;
    // When set, the device sieves, in segments and batches of its own size,
    // with scratch for every slot of the ring; otherwise the host does.
    DeviceSieve* deviceSieve = nullptr;
    std::string deviceName = {};  // for the message of a device fault
};

// What runSieve takes from the outside world besides the device, so that a
// test can drive the minute timer and watch the checkpoints.
struct SieveHooks {
    std::function<int64_t()> clockSeconds;                // wall clock, whole seconds
    std::function<void(RunState&, uint64_t)> checkpoint;  // state, walk position
    std::function<int()> stopRequested;                   // a signal asking to stop, or 0
    // Whether to save a checkpoint now, told whether a minute has passed
    // since the last; a client with a schedule of its own decides (empty:
    // once a minute).
    std::function<bool(bool minutePassed)> checkpointDue;
    // After each batch is counted, with the walk position after it (empty: nothing).
    std::function<void(const RunState&, uint64_t next)> batchLanded;
    // The host's test of the factors the device reports (tests of the walk
    // itself give their own).
    FactorTest isFactor = referenceTest;
    // Before the walk writes to the console (a factor, an error), so that a
    // status line can make way (empty: nothing).
    std::function<void()> beforeMessage = {};
};

// std::time and writeCheckpoint; no stop is ever asked for.
SieveHooks defaultSieveHooks();

// Whether to save a checkpoint now: more than a minute has passed on the
// line's checkpoint clock, unless the client's schedule says otherwise. A
// yes that is acted on restarts the clock (and tells the client).
bool checkpointDue(const RunState& state, const SieveHooks& hooks);

enum class SieveStatus {
    Done,
    DeviceFailed,      // a batch failed twice; said on standard error
    NoMemory,          // for the segment; said with perror
    FactorNotWritten,  // factors.txt did not take a factor; no checkpoint moved past it
    Stopped,           // a stop was asked for: the checkpoint holds the walk position
    DeviceFault,       // a batch's checked residue or a factor was wrong; said on the
                       // console and in results.txt, and nothing of the batch counted
};

// Tests exponent state.nCurrent; adds to state.kTested, state.checksum and
// state.factors. Every batch is checked before it is counted
// (sieve/batch_check.h).
// kFirst must be odd; kEnd is inclusive and may be 2^64-1. A stop asked for
// is heeded after the batch in flight unless that batch ended the walk.
SieveStatus runSieve(uint64_t kFirst, uint64_t kEnd, RunState& state, const SieveContext& context,
                     const SieveHooks& hooks = defaultSieveHooks());

}  // namespace kalvenor
