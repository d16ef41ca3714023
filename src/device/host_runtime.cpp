// The host-emulated device: the same kernels, run as host functions by a
// pool of worker threads, behind the interface the GPU is used through. It
// keeps the GPU's rules that callers rely on (threads at or past the batch
// count do nothing, copies are ordered after earlier launches, errors are
// numbers with a text), so start-up and the sieve need no second code path.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "device/cpu_info.h"
#include "device/runtime.h"
#include "device/thread_pool.h"
#include "kernels/host_kernels.h"
#include "kernels/kernel_table.h"
#include "kernels/launch_limits.h"
#include "kernels/sieve_phases_host.h"

namespace kalvenor {

namespace {

// The numbers follow the CUDA runtime's for the same conditions, so a message
// reads alike on either device.
enum HostError : int {
    kInvalidValue = 1,
    kOutOfMemory = 2,
    kInvalidConfiguration = kInvalidConfigurationError,
    kInvalidKernel = 98,
    kInvalidDevice = 101,
};

constexpr std::align_val_t kBufferAlignment{64};

// Larger requests are refused before they reach the allocator: no host has
// that much memory, and the rounding below must not overflow.
constexpr std::size_t kLargestAllocation = std::size_t{1} << 48;

// A chunk is a few hundred tests, long enough that taking it from the shared
// counter costs nothing, short enough that the workers finish together.
uint32_t chunkSize(uint32_t slots, unsigned workers) {
    const uint32_t perWorker = slots / (8 * std::max(workers, 1u));
    return std::clamp<uint32_t>(perWorker, 16, 1024);
}

class HostRuntime final : public Runtime {
public:
    HostRuntime(unsigned threads, PauseCheck paused)
        : cpu_(readCpuInfo()), pool_(threads == 0 ? cpu_.hardwareThreads : threads, std::move(paused)) {}

    RuntimeKind kind() const override { return RuntimeKind::Host; }
    int runtimeVersion() const override { return 0; }
    int driverVersion() const override { return 0; }

    int selectDevice(int ordinal) override { return ordinal == 0 ? 0 : kInvalidDevice; }

    int deviceProperties(DeviceInfo& info) override {
        info.name = cpu_.modelName;
        info.major = 0;
        info.minor = 0;
        info.multiProcessorCount = static_cast<int>(pool_.size());
        info.clockRate = cpu_.clockKHz;
        return 0;
    }

    // Idle workers already sleep on a condition variable.
    void setBlockingSync() override {}

    int allocateHost(void** pointer, std::size_t bytes) override { return allocate(pointer, bytes); }
    int allocateDevice(void** pointer, std::size_t bytes) override { return allocate(pointer, bytes); }
    int freeHost(void* pointer) override { return release(pointer); }
    int freeDevice(void* pointer) override { return release(pointer); }

    // The queues share the one pool, so all work runs in the order it was
    // put in: every copy waits for the running launch first, which may
    // still read the batch.
    int copyToDevice(void* device, const void* host, std::size_t bytes) override {
        return copy(device, host, bytes);
    }
    int copyToHost(void* host, const void* device, std::size_t bytes) override {
        return copy(host, device, bytes);
    }
    int copyToDeviceAsync(void* device, const void* host, std::size_t bytes, int queue) override {
        return validQueue(queue) ? copy(device, host, bytes) : kInvalidValue;
    }
    int copyToHostAsync(void* host, const void* device, std::size_t bytes, int queue) override {
        return validQueue(queue) ? copy(host, device, bytes) : kInvalidValue;
    }

    int launch(int kernelIndex, uint32_t blocks, uint32_t threadsPerBlock, const KernelArgs& args, int queue) override {
        if (!validQueue(queue)) return kInvalidValue;
        if (kernelIndex < 0 || kernelIndex >= kKernelCount) return kInvalidKernel;
        const HostKernelFn kernel = hostKernel(kernelIndex);
        if (kernel == nullptr) return kInvalidKernel;
        if (!launchFits({blocks, threadsPerBlock, 0})) return kInvalidConfiguration;
        const uint64_t grid = uint64_t{blocks} * threadsPerBlock;
        KernelArgs a = args;
        if (a.deviceCount != nullptr) {
            pool_.wait();  // the sieve that writes it runs before, as in one GPU stream
            a.count = std::min(a.count, *a.deviceCount);
            a.deviceCount = nullptr;
        }
        const uint32_t slots = std::min<uint64_t>(a.count, grid);
        if (slots == 0) return 0;
        if (a.result == nullptr || (a.candidates == nullptr && a.offsets == nullptr)) return kInvalidValue;
        pool_.start(slots, chunkSize(slots, pool_.size()), [kernel, a](uint32_t begin, uint32_t end) { kernel(a, begin, end); });
        return 0;
    }

    // The phases run as the GPU would run them, a block's threads one after
    // the other between its barriers, the blocks on the pool.
    int launchSieve(const GpuSieveArgs& args, int queue) override {
        if (!validQueue(queue)) return kInvalidValue;
        const SieveLaunches launches = sieveLaunchesOf(args.primeCount, args.smallCount, args.length);
        for (const SievePhaseLaunch& phase : launches.phases)
            if (phase.blocks > 0 && !launchFits({phase.blocks, kSieveThreads, phase.sharedBytes})) return kInvalidConfiguration;
        pool_.wait();
        *args.count = 0;
        std::memset(args.bytes, 1, args.length);
        for (const SievePhaseLaunch& phase : launches.phases)
            pool_.start(phase.blocks, sieveChunkBlocks(phase.phase), [phase, args](uint32_t begin, uint32_t end) {
                auto shared = std::make_unique<SieveBlockShared>();
                runSieveBlocks(phase.phase, args, begin, end, *shared);
            });
        return 0;
    }

    int waitQueue(int queue) override {
        if (!validQueue(queue)) return kInvalidValue;
        pool_.wait();
        return 0;
    }
    std::string waitCall(int) const override { return "waiting for the host device"; }
    int synchronize() override {
        pool_.wait();
        return 0;
    }

    std::string errorText(int code) const override {
        switch (code) {
            case 0: return "no error";
            case kInvalidValue: return "invalid argument";
            case kOutOfMemory: return "out of memory";
            case kInvalidConfiguration: return "invalid launch configuration";
            case kInvalidKernel: return "invalid kernel";
            case kInvalidDevice: return "invalid device ordinal";
            default: return "unknown error " + std::to_string(code);
        }
    }

private:
    static bool validQueue(int queue) { return queue >= 0 && queue < kQueues; }

    static int allocate(void** pointer, std::size_t bytes) {
        if (pointer == nullptr) return kInvalidValue;
        *pointer = nullptr;
        if (bytes > kLargestAllocation) return kOutOfMemory;
        const std::size_t rounded = std::max<std::size_t>((bytes + 63) & ~std::size_t{63}, 64);
        void* memory = ::operator new(rounded, kBufferAlignment, std::nothrow);
        if (memory == nullptr) return kOutOfMemory;
        *pointer = memory;
        return 0;
    }

    int release(void* pointer) {
        pool_.wait();  // a launch may still be using it
        if (pointer != nullptr) ::operator delete(pointer, kBufferAlignment);
        return 0;
    }

    int copy(void* to, const void* from, std::size_t bytes) {
        pool_.wait();
        if (bytes == 0) return 0;
        if (to == nullptr || from == nullptr) return kInvalidValue;
        std::memmove(to, from, bytes);
        return 0;
    }

    CpuInfo cpu_;
    ThreadPool pool_;
};

}  // namespace

std::unique_ptr<Runtime> makeHostRuntime(unsigned threads, PauseCheck paused) {
    return std::make_unique<HostRuntime>(threads, std::move(paused));
}

}  // namespace kalvenor
