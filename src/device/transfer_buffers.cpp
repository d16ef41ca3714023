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
    if (code == 0) code = allocatePair(runtime, b.hostCount, b.deviceCount, sizeof(uint32_t));
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
    for (void* host : {static_cast<void*>(b.hostBatch), static_cast<void*>(b.hostResult), static_cast<void*>(b.hostCount),
                       static_cast<void*>(b.hostResidues)})
        if (host) release(runtime.freeHost(host));
    for (void* device : {static_cast<void*>(b.deviceBatch), static_cast<void*>(b.deviceResult),
                         static_cast<void*>(b.deviceCount), static_cast<void*>(b.deviceResidues)})
        if (device) release(runtime.freeDevice(device));
    b = TransferBuffers{};
    return failed;
}

int clearResult(Runtime& runtime, TransferBuffers& b) {
    std::fill(b.hostResult, b.hostResult + kResultBufferWords, 0u);
    return runtime.copyToDevice(b.deviceResult, b.hostResult, kResultBytes);
}

LaunchStatus submitBatch(Runtime& runtime, TransferBuffers& b, const BatchLaunch& launch, int queue) {
    LaunchStatus status;
    auto step = [&](LaunchStep which, int code) {
        if (code != 0 && status.ok()) status = {code, which};
    };
    const bool sieved = launch.offsets != nullptr;
    if (!sieved) step(LaunchStep::Copy, runtime.copyToDeviceAsync(b.deviceBatch, b.hostBatch, launch.count * sizeof(uint64_t), queue));
    // The words a launch writes start at zero; the rest of the buffer is left alone.
    std::fill(b.hostResult, b.hostResult + kResultWords, 0u);
    step(LaunchStep::Copy, runtime.copyToDeviceAsync(b.deviceResult, b.hostResult, kResultWords * sizeof(uint32_t), queue));
    if (!status.ok()) return status;
    const KernelArgs args{b.deviceResult, b.deviceBatch, launch.n, launch.count, b.deviceResidues,
                          launch.offsets, launch.base, sieved ? b.deviceCount : nullptr, launch.checkSeed};
    step(LaunchStep::Launch, runtime.launch(launch.kernel, launch.blocks, kThreadsPerBlock, args, queue));
    step(LaunchStep::ReadBack, runtime.copyToHostAsync(b.hostResult, b.deviceResult, kResultBytes, queue));
    if (sieved) step(LaunchStep::ReadBack, runtime.copyToHostAsync(b.hostCount, b.deviceCount, sizeof(uint32_t), queue));
    if (b.hostResidues != nullptr)
        step(LaunchStep::ReadBack, runtime.copyToHostAsync(b.hostResidues, b.deviceResidues,
                                                           std::size_t{launch.count} * kResidueStride * sizeof(uint32_t), queue));
    return status;
}

LaunchStatus runBatch(Runtime& runtime, TransferBuffers& b, int index, uint32_t blocks, uint32_t n, uint32_t count,
                      uint32_t checkSeed) {
    LaunchStatus status = submitBatch(runtime, b, BatchLaunch{index, blocks, n, count, nullptr, 0, checkSeed}, 0);
    // Waits even after a failed launch, so nothing of it is still running
    // when the buffers are used again.
    const int waited = runtime.waitQueue(0);
    if (status.ok() && waited != 0) status = {waited, LaunchStep::Synchronize};
    return status;
}

}  // namespace kalvenor
