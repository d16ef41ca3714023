#include "kernels/transfer_buffers.h"

#include "kernels/check_status.h"
#include "kernels/kernel_args.h"

namespace kalvenor {

namespace {
constexpr std::size_t kBatchBytes = kBatchCapacity * sizeof(uint64_t);
constexpr std::size_t kResultBytes = kResultWords * sizeof(uint32_t);
}  // namespace

TransferBuffers allocateTransferBuffers(Runtime& runtime) {
    TransferBuffers b;
    void* p = nullptr;
    KALVENOR_CHECK(runtime, runtime.allocateHost(&p, kBatchBytes));
    b.hostBatch = static_cast<uint64_t*>(p);
    KALVENOR_CHECK(runtime, runtime.allocateDevice(&p, kBatchBytes));
    b.deviceBatch = static_cast<uint64_t*>(p);
    KALVENOR_CHECK(runtime, runtime.allocateHost(&p, kResultBytes));
    b.hostResult = static_cast<uint32_t*>(p);
    KALVENOR_CHECK(runtime, runtime.allocateDevice(&p, kResultBytes));
    b.deviceResult = static_cast<uint32_t*>(p);
    return b;
}

void releaseTransferBuffers(Runtime& runtime, TransferBuffers& b) {
    KALVENOR_CHECK(runtime, runtime.freeHost(b.hostBatch));
    KALVENOR_CHECK(runtime, runtime.freeDevice(b.deviceBatch));
    KALVENOR_CHECK(runtime, runtime.freeHost(b.hostResult));
    KALVENOR_CHECK(runtime, runtime.freeDevice(b.deviceResult));
    b = TransferBuffers{};
}

}  // namespace kalvenor
