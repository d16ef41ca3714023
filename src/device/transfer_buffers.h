// The buffers of a launch on both sides, allocated once and kept: the batch
// of multipliers, the result buffer, the count of a batch the device sieved
// itself and, for the self-test, the residues; and the one sequence that
// runs a batch through them, put in a queue or waited for at once.
#pragma once

#include <cstdint>

#include "device/runtime.h"

namespace kalvenor {

struct TransferBuffers {
    uint32_t capacity = 0;  // slots of the batch (and of the residues)
    uint64_t* hostBatch = nullptr;
    uint64_t* deviceBatch = nullptr;
    uint32_t* hostResult = nullptr;  // kResultBufferWords each
    uint32_t* deviceResult = nullptr;
    uint32_t* hostCount = nullptr;  // the GPU sieve's count of survivors
    uint32_t* deviceCount = nullptr;
    uint32_t* hostResidues = nullptr;  // kResidueStride words per slot, or null
    uint32_t* deviceResidues = nullptr;
};

// Allocates in this order: host batch, device batch, host result, device
// result, the counts, then the residues when asked for. Returns 0, or the
// code of the call that failed after reporting it (what was allocated stays
// in `buffers` for releaseTransferBuffers).
int allocateTransferBuffers(Runtime& runtime, TransferBuffers& buffers, uint32_t capacity,
                            bool withResidues = false);
// Releases in the same order, each reported when it fails; returns the last failure or 0.
int releaseTransferBuffers(Runtime& runtime, TransferBuffers& buffers);

// Zeroes the result buffer on both sides; returns the copy's status.
int clearResult(Runtime& runtime, TransferBuffers& buffers);

// One launch of a batch: from hostBatch[0..count), or (with `offsets`) the
// survivors the GPU sieve left on the device, as many as buffers.deviceCount says.
struct BatchLaunch {
    int kernel = -1;
    uint32_t blocks = 0;  // of kThreadsPerBlock threads
    uint32_t n = 0;
    uint32_t count = 0;  // the most the batch holds
    const uint32_t* offsets = nullptr;
    uint64_t base = 0;
    uint32_t checkSeed = 0;  // which slot reports its residue
};

enum class LaunchStep { None, Copy, Launch, Synchronize, ReadBack };

struct LaunchStatus {
    int code = 0;
    LaunchStep step = LaunchStep::None;  // the first that failed
    bool ok() const { return code == 0; }
};

// Queues in `queue`: the batch's copy to the device, a cleared result, the
// launch, and the way back of the result, the sieve's count and the
// residues, if any. Nothing is waited for and nothing reported; the host
// buffers stay in use until the queue is waited for.
LaunchStatus submitBatch(Runtime& runtime, TransferBuffers& buffers, const BatchLaunch& launch, int queue);

// submitBatch in the default queue, waited for.
LaunchStatus runBatch(Runtime& runtime, TransferBuffers& buffers, int index, uint32_t blocks, uint32_t n,
                      uint32_t count, uint32_t checkSeed = 0);

}  // namespace kalvenor
