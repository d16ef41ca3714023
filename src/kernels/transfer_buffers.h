// The four buffers every launch uses, allocated once at start-up and kept to
// the end: the host and device copies of the candidate batch and of the
// result buffer.
#pragma once

#include <cstdint>

#include "kernels/runtime.h"

namespace kalvenor {

struct TransferBuffers {
    uint64_t* hostBatch = nullptr;
    uint64_t* deviceBatch = nullptr;
    uint32_t* hostResult = nullptr;
    uint32_t* deviceResult = nullptr;
};

// Allocate in this order: host batch, device batch, host result, device
// result; each call is checked (a failure ends the process, see checkRuntime).
TransferBuffers allocateTransferBuffers(Runtime& runtime);
// Release in the same order, each checked.
void releaseTransferBuffers(Runtime& runtime, TransferBuffers& buffers);

}  // namespace kalvenor
