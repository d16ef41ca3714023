// The buffers of a launch on both sides, allocated once and kept: the batch
// of multipliers, the result buffer and, for the self-test, the residues;
// and the one sequence that runs a batch through them.
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
    uint32_t* hostResidues = nullptr;  // kResidueStride words per slot, or null
    uint32_t* deviceResidues = nullptr;
};

// Allocates in this order: host batch, device batch, host result, device
// result, then the residues when asked for. Returns 0, or the code of the
// call that failed after reporting it (what was allocated stays in
// `buffers` for releaseTransferBuffers).
int allocateTransferBuffers(Runtime& runtime, TransferBuffers& buffers, uint32_t capacity,
                            bool withResidues = false);
// Releases in the same order, each reported when it fails; returns the last failure or 0.
int releaseTransferBuffers(Runtime& runtime, TransferBuffers& buffers);

// Zeroes the result buffer on both sides; returns the copy's status.
int clearResult(Runtime& runtime, TransferBuffers& buffers);

enum class LaunchStep { None, Copy, Launch, Synchronize, ReadBack };

struct LaunchStatus {
    int code = 0;
    LaunchStep step = LaunchStep::None;  // the first that failed
    bool ok() const { return code == 0; }
};

// Copies hostBatch[0..count) to the device, runs kernel `index` over
// `blocks` blocks of kThreadsPerBlock threads at exponent n, waits for it,
// and reads the result buffer (and the residues, if any) back. Nothing is
// reported: the caller decides what a failure means.
LaunchStatus runBatch(Runtime& runtime, TransferBuffers& buffers, int index, uint32_t blocks, uint32_t n,
                      uint32_t count);

}  // namespace kalvenor
