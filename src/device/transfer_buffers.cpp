#include "device/transfer_buffers.h"

#include <algorithm>

#include "device/runtime_error.h"
#include "kernels/kernel_args.h"

namespace kalvenor {

namespace {

constexpr std::size_t kResultBytes = kResultBufferWords * sizeof(uint32_t);

template <class T>
int allocatePair(Runtime& runtime, T*& host, T*& device, std::size_t bytes) {
    void* p = nullptr;
    int code = runtime.allocateHost(&p, bytes);
    host = static_cast<T*>(p);
    if (KALVENOR_FAILED(runtime, code)) return code;
    p = nullptr;
    code = runtime.allocateDevice(&p, bytes);
    device = static_cast<T*>(p);
    KALVENOR_FAILED(runtime, code);
    return code;
}

}  // namespace

int allocateTransferBuffers(Runtime& runtime, TransferBuffers& b, uint32_t capacity, bool withResidues) {
    b.capacity = capacity;
    int code = allocatePair(runtime, b.hostBatch, b.deviceBatch, std::size_t{capacity} * sizeof(uint64_t));
    if (code == 0) code = allocatePair(runtime, b.hostResult, b.deviceResult, kResultBytes);
    if (code == 0 && withResidues)
        code = allocatePair(runtime, b.hostResidues, b.deviceResidues,
                            std::size_t{capacity} * kResidueStride * sizeof(uint32_t));
    return code;
}

int releaseTransferBuffers(Runtime& runtime, TransferBuffers& b) {
    int failed = 0;
    auto release = [&](int code) {
        if (KALVENOR_FAILED(runtime, code)) failed = code;
    };
    if (b.hostBatch) release(runtime.freeHost(b.hostBatch));
    if (b.deviceBatch) release(runtime.freeDevice(b.deviceBatch));
    if (b.hostResult) release(runtime.freeHost(b.hostResult));
    if (b.deviceResult) release(runtime.freeDevice(b.deviceResult));
    if (b.hostResidues) release(runtime.freeHost(b.hostResidues));
    if (b.deviceResidues) release(runtime.freeDevice(b.deviceResidues));
    b = TransferBuffers{};
    return failed;
}

int clearResult(Runtime& runtime, TransferBuffers& b) {
    std::fill(b.hostResult, b.hostResult + kResultBufferWords, 0u);
    return runtime.copyToDevice(b.deviceResult, b.hostResult, kResultBytes);
}

LaunchStatus runBatch(Runtime& runtime, TransferBuffers& b, int index, uint32_t blocks, uint32_t n, uint32_t count) {
    LaunchStatus status;
    auto step = [&](LaunchStep which, int code) {
        if (code != 0 && status.ok()) status = {code, which};
    };
    step(LaunchStep::Copy, runtime.copyToDeviceAsync(b.deviceBatch, b.hostBatch, count * sizeof(uint64_t)));
    if (status.ok()) {
        const KernelArgs args{b.deviceResult, b.deviceBatch, n, count, b.deviceResidues};
        step(LaunchStep::Launch, runtime.launch(index, blocks, kThreadsPerBlock, args));
    }
    // Waits even after a failed launch, so nothing of it is still running
    // when the buffers are used again.
    step(LaunchStep::Synchronize, runtime.synchronize());
    if (!status.ok()) return status;
    step(LaunchStep::ReadBack, runtime.copyToHost(b.hostResult, b.deviceResult, kResultBytes));
    if (status.ok() && b.hostResidues != nullptr)
        step(LaunchStep::ReadBack, runtime.copyToHost(b.hostResidues, b.deviceResidues,
                                                      std::size_t{count} * kResidueStride * sizeof(uint32_t)));
    return status;
}

}  // namespace kalvenor
