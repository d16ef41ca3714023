#include "device/emulated_cuda.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "device/cpu_info.h"
#include "kernels/gpu_kernels_on_host.h"
#include "kernels/kernel_table.h"
#include "kernels/launch_limits.h"
#include "kernels/sieve_phases_host.h"

namespace kalvenor {

namespace {

// CUDA's numbers and texts for the errors the emulation gives.
enum CudaError : int {
    kSuccess = 0,
    kInvalidValue = 1,
    kMemoryAllocation = 2,
    kInvalidConfiguration = kInvalidConfigurationError,
    kInvalidDeviceFunction = 98,
    kInvalidDevice = 101,
    kInvalidResourceHandle = 400,
    kIllegalAddress = 700,
};

constexpr std::align_val_t kAlignment{256};  // as cudaMalloc's

// A stream's work not yet run, in order.
struct StreamWork {
    std::deque<std::function<int()>> pending;
    uint64_t enqueued = 0;  // operations ever put in
    uint64_t ran = 0;       // of those, run (or dropped after a fault)
};

// Where an event was recorded: behind the first `upTo` operations of `stream`.
struct EventMark {
    StreamWork* stream = nullptr;
    uint64_t upTo = 0;
};

struct Allocation {
    std::size_t bytes;
    bool device;  // else page-locked host memory
};

class EmulatedCuda final : public CudaApi {
public:
    EmulatedCuda(const GpuProfile& profile, unsigned threads, PauseCheck paused)
        : profile_(profile), pool_(threads == 0 ? hardwareThreads() : threads, std::move(paused)) {}

    ~EmulatedCuda() override {
        for (const auto& [address, allocation] : memory_) ::operator delete(reinterpret_cast<void*>(address), kAlignment);
    }

    std::string emulatedProfile() const override { return profile_.key; }

    // The toolkit the binary was built with, on a driver that runs it.
    int runtimeGetVersion(int& version) override { return version = compiledCudaVersion(), kSuccess; }
    int driverGetVersion(int& version) override { return version = compiledCudaVersion(), kSuccess; }

    int setDevice(int ordinal) override { return ordinal == 0 ? fault() : kInvalidDevice; }
    int getDeviceProperties(int ordinal, DeviceInfo& info) override {
        if (ordinal != 0) return kInvalidDevice;
        info = profile_.device;
        return kSuccess;
    }
    int setDeviceFlagsBlockingSync() override { return fault(); }

    int hostAlloc(void** pointer, std::size_t bytes) override { return allocate(pointer, bytes, false); }
    int malloc(void** pointer, std::size_t bytes) override { return allocate(pointer, bytes, true); }
    int freeHost(void* pointer) override { return release(pointer, false); }
    int free(void* pointer) override { return release(pointer, true); }

    int memcpy(void* to, const void* from, std::size_t bytes, Copy kind) override {
        if (const int error = fault()) return error;
        if (!copyValid(to, from, bytes, kind)) return kInvalidValue;
        if (bytes == 0) return kSuccess;
        // The legacy stream's earlier work first, as the copy is in it.
        if (const int error = runAll(legacy_)) return error;
        if (kind == Copy::HostToDevice && !inAllocation(from, bytes, false)) {
            // Pageable memory is staged now and reaches the device when the
            // legacy stream runs on: the call may return before it has landed.
            auto staged = std::make_shared<std::vector<unsigned char>>(static_cast<const unsigned char*>(from),
                                                                       static_cast<const unsigned char*>(from) + bytes);
            enqueue(legacy_, [this, to, staged] {
                if (!inAllocation(to, staged->size(), true)) return int{kIllegalAddress};
                std::memcpy(to, staged->data(), staged->size());
                return int{kSuccess};
            });
            return kSuccess;
        }
        std::memmove(to, from, bytes);
        return kSuccess;
    }

    int memcpyAsync(void* to, const void* from, std::size_t bytes, Copy kind, CudaApi::Stream handle) override {
        StreamWork* stream = streamOf(handle);
        if (stream == nullptr) return kInvalidResourceHandle;
        if (const int error = fault()) return error;
        if (!copyValid(to, from, bytes, kind)) return kInvalidValue;
        if (bytes == 0) return kSuccess;
        // Host memory is read or written when the copy runs.
        enqueue(*stream, [this, to, from, bytes, kind] {
            const void* device = kind == Copy::HostToDevice ? to : from;
            if (!inAllocation(device, bytes, true)) return int{kIllegalAddress};
            std::memmove(to, from, bytes);
            return int{kSuccess};
        });
        return kSuccess;
    }

    int memsetAsync(void* device, int value, std::size_t bytes, CudaApi::Stream handle) override {
        StreamWork* stream = streamOf(handle);
        if (stream == nullptr) return kInvalidResourceHandle;
        if (const int error = fault()) return error;
        if (!inAllocation(device, bytes, true)) return kInvalidValue;
        enqueue(*stream, [this, device, value, bytes] {
            if (!inAllocation(device, bytes, true)) return int{kIllegalAddress};
            std::memset(device, value, bytes);
            return int{kSuccess};
        });
        return kSuccess;
    }

    int streamCreateNonBlocking(CudaApi::Stream* handle) override {
        if (const int error = fault()) return error;
        streams_.push_back(std::make_unique<StreamWork>());
        *handle = streams_.back().get();
        return kSuccess;
    }
    // Work still in the stream is finished first, as CUDA does before it
    // releases the stream's resources.
    int streamDestroy(CudaApi::Stream handle) override {
        StreamWork* stream = streamOf(handle);
        if (stream == nullptr || stream == &legacy_) return kInvalidResourceHandle;
        runAll(*stream);
        std::erase_if(streams_, [stream](const std::unique_ptr<StreamWork>& s) { return s.get() == stream; });
        for (auto& event : events_)
            if (event->stream == stream) *event = EventMark{};
        return kSuccess;
    }

    int eventCreateBlockingSync(CudaApi::Event* handle) override {
        if (const int error = fault()) return error;
        events_.push_back(std::make_unique<EventMark>());
        *handle = events_.back().get();
        return kSuccess;
    }
    int eventDestroy(CudaApi::Event handle) override {
        const auto erased = std::erase_if(events_, [handle](const std::unique_ptr<EventMark>& e) { return e.get() == handle; });
        return erased == 1 ? kSuccess : kInvalidResourceHandle;
    }
    int eventRecord(CudaApi::Event handle, CudaApi::Stream streamHandle) override {
        EventMark* event = eventOf(handle);
        StreamWork* stream = streamOf(streamHandle);
        if (event == nullptr || stream == nullptr) return kInvalidResourceHandle;
        if (const int error = fault()) return error;
        *event = EventMark{stream, stream->enqueued};
        return kSuccess;
    }
    // Runs the recorded stream up to the event and no further; an event
    // never recorded is complete.
    int eventSynchronize(CudaApi::Event handle) override {
        EventMark* event = eventOf(handle);
        if (event == nullptr) return kInvalidResourceHandle;
        if (event->stream != nullptr) runUpTo(*event->stream, event->upTo);
        return fault();
    }
    int streamSynchronize(CudaApi::Stream handle) override {
        StreamWork* stream = streamOf(handle);
        if (stream == nullptr) return kInvalidResourceHandle;
        return runAll(*stream);
    }
    // No order among the streams is promised: the made ones run newest
    // first, then the legacy one, so work that needed the legacy stream's
    // earlier work without waiting for it sees the device without it.
    int deviceSynchronize() override {
        for (auto stream = streams_.rbegin(); stream != streams_.rend(); ++stream) runAll(**stream);
        return runAll(legacy_);
    }

    int launchKernel(int index, uint32_t blocks, uint32_t threadsPerBlock, const KernelArgs& args,
                     CudaApi::Stream handle) override {
        StreamWork* stream = streamOf(handle);
        if (stream == nullptr) return kInvalidResourceHandle;
        if (const int error = fault()) return error;
        const HostKernelFn kernel = gpuKernelOnHost(index);
        if (kernel == nullptr) return kInvalidDeviceFunction;
        if (!launchFits({blocks, threadsPerBlock, 0})) return kInvalidConfiguration;
        enqueue(*stream, [this, kernel, args, grid = uint64_t{blocks} * threadsPerBlock] { return runKernel(kernel, args, grid); });
        return kSuccess;
    }

    int launchSievePhase(const SievePhaseLaunch& launch, const GpuSieveArgs& args, CudaApi::Stream handle) override {
        StreamWork* stream = streamOf(handle);
        if (stream == nullptr) return kInvalidResourceHandle;
        if (const int error = fault()) return error;
        if (!launchFits({launch.blocks, kSieveThreads, launch.sharedBytes})) return kInvalidConfiguration;
        enqueue(*stream, [this, launch, args] { return runSievePhase(launch, args); });
        return kSuccess;
    }

    std::string getErrorString(int code) const override {
        switch (code) {
            case kSuccess: return "no error";
            case kInvalidValue: return "invalid argument";
            case kMemoryAllocation: return "out of memory";
            case kInvalidConfiguration: return "invalid configuration argument";
            case kInvalidDeviceFunction: return "invalid device function";
            case kInvalidDevice: return "invalid device ordinal";
            case kInvalidResourceHandle: return "invalid resource handle";
            case kIllegalAddress: return "an illegal memory access was encountered";
            default: return "unrecognized error code";
        }
    }

private:
    // The fault that ended the context, if any: every call returns it.
    int fault() const { return sticky_; }

    int allocate(void** pointer, std::size_t bytes, bool device) {
        if (pointer == nullptr) return kInvalidValue;
        *pointer = nullptr;
        if (const int error = fault()) return error;
        const uint64_t inUse = device ? deviceBytes_ : 0;
        const uint64_t most = device ? profile_.memoryBytes : uint64_t{1} << 48;
        if (bytes > most - inUse) return kMemoryAllocation;
        const std::size_t rounded = std::max<std::size_t>((bytes + 255) & ~std::size_t{255}, 256);
        void* memory = ::operator new(rounded, kAlignment, std::nothrow);
        if (memory == nullptr) return kMemoryAllocation;
        std::memset(memory, kEmulatedGarbage, rounded);
        memory_.emplace(reinterpret_cast<uintptr_t>(memory), Allocation{bytes, device});
        if (device) deviceBytes_ += bytes;
        *pointer = memory;
        return kSuccess;
    }

    // Freeing waits for nothing: work still queued that uses the memory
    // finds it gone when it runs.
    int release(void* pointer, bool device) {
        if (pointer == nullptr) return fault();
        const auto found = memory_.find(reinterpret_cast<uintptr_t>(pointer));
        if (found == memory_.end() || found->second.device != device) return kInvalidValue;
        if (device) deviceBytes_ -= found->second.bytes;
        memory_.erase(found);
        ::operator delete(pointer, kAlignment);
        return fault();
    }

    // Whether [p, p+bytes) lies in one live allocation of the kind (device
    // memory, or page-locked host memory); empty ranges always do.
    bool inAllocation(const void* p, std::size_t bytes, bool device) const {
        if (bytes == 0) return true;
        const auto address = reinterpret_cast<uintptr_t>(p);
        auto found = memory_.upper_bound(address);
        if (found == memory_.begin()) return false;
        --found;
        return found->second.device == device && address - found->first <= found->second.bytes &&
               bytes <= found->second.bytes - (address - found->first);
    }
    // What a kernel may touch: device memory and, as CUDA maps it into the
    // device's address space, page-locked host memory.
    bool kernelReaches(const void* p, std::size_t bytes) const {
        return inAllocation(p, bytes, true) || inAllocation(p, bytes, false);
    }
    bool copyValid(void* to, const void* from, std::size_t bytes, Copy kind) const {
        const void* device = kind == Copy::HostToDevice ? to : from;
        const void* host = kind == Copy::HostToDevice ? from : to;
        return (bytes == 0 || (device != nullptr && host != nullptr)) && inAllocation(device, bytes, true) &&
               !inAllocation(host, 1, true);
    }

    StreamWork* streamOf(CudaApi::Stream handle) {
        if (handle == nullptr) return &legacy_;
        for (const auto& stream : streams_)
            if (stream.get() == handle) return stream.get();
        return nullptr;
    }
    EventMark* eventOf(CudaApi::Event handle) {
        for (const auto& event : events_)
            if (event.get() == handle) return event.get();
        return nullptr;
    }

    void enqueue(StreamWork& stream, std::function<int()> work) {
        stream.pending.push_back(std::move(work));
        ++stream.enqueued;
    }
    // After a fault nothing more runs: the context is gone.
    void runUpTo(StreamWork& stream, uint64_t upTo) {
        while (stream.ran < upTo && !stream.pending.empty()) {
            const std::function<int()> work = std::move(stream.pending.front());
            stream.pending.pop_front();
            ++stream.ran;
            if (sticky_ == 0) sticky_ = work();
        }
    }
    int runAll(StreamWork& stream) {
        runUpTo(stream, stream.enqueued);
        return fault();
    }

    // The threads of a launch, each one slot: those at or past the launch's
    // count return at once in the kernel, so they are not started here.
    int runKernel(HostKernelFn kernel, const KernelArgs& args, uint64_t grid) {
        uint64_t slots = std::min<uint64_t>(grid, args.count);
        if (args.deviceCount != nullptr) {
            if (!kernelReaches(args.deviceCount, sizeof(uint32_t))) return kIllegalAddress;
            slots = std::min<uint64_t>(slots, *args.deviceCount);
        }
        if (slots == 0) return kSuccess;
        const bool reaches = kernelReaches(args.result, kResultWords * sizeof(uint32_t)) &&
                             (args.offsets != nullptr ? kernelReaches(args.offsets, slots * sizeof(uint32_t))
                                                      : kernelReaches(args.candidates, slots * sizeof(uint64_t))) &&
                             (args.residues == nullptr || kernelReaches(args.residues, slots * kResidueStride * sizeof(uint32_t)));
        if (!reaches) return kIllegalAddress;
        const auto total = static_cast<uint32_t>(slots);
        const uint32_t chunk = std::clamp<uint32_t>(total / (8 * std::max(pool_.size(), 1u)), 16, 1024);
        pool_.start(total, chunk, [kernel, args](uint32_t begin, uint32_t end) { kernel(args, begin, end); });
        pool_.wait();
        return kSuccess;
    }

    // The memory a phase's threads touch, checked before any of them runs.
    bool sievePhaseReaches(const SievePhaseLaunch& launch, const GpuSieveArgs& a) const {
        const uint64_t threads = uint64_t{launch.blocks} * kSieveThreads;
        const std::size_t word = sizeof(uint32_t);
        switch (launch.phase) {
            case SievePhase::FirstHits: {
                const uint64_t primes = std::min<uint64_t>(threads, a.primeCount);
                return kernelReaches(a.primes, primes * word) && kernelReaches(a.classes, primes * word) &&
                       kernelReaches(a.hits, primes * word);
            }
            case SievePhase::StrikeLarge: {
                const uint64_t primes = std::min<uint64_t>(threads, a.primeCount > a.smallCount ? a.primeCount - a.smallCount : 0);
                return primes == 0 || (kernelReaches(a.primes + a.smallCount, primes * word) &&
                                       kernelReaches(a.hits + a.smallCount, primes * word) && kernelReaches(a.bytes, a.length));
            }
            case SievePhase::Windows:
                return kernelReaches(a.primes, std::size_t{a.smallCount} * word) &&
                       kernelReaches(a.hits, std::size_t{a.smallCount} * word) &&
                       kernelReaches(a.bytes, std::min<uint64_t>(uint64_t{launch.blocks} * kSieveWindow, a.length)) &&
                       kernelReaches(a.offsets, std::size_t{a.capacity} * word) && kernelReaches(a.count, word);
        }
        return false;
    }

    int runSievePhase(const SievePhaseLaunch& launch, const GpuSieveArgs& args) {
        if (!sievePhaseReaches(launch, args)) return kIllegalAddress;
        pool_.start(launch.blocks, sieveChunkBlocks(launch.phase), [launch, args](uint32_t begin, uint32_t end) {
            auto shared = std::make_unique<SieveBlockShared>();
            runSieveBlocks(launch.phase, args, begin, end, *shared);
        });
        pool_.wait();
        return kSuccess;
    }

    const GpuProfile& profile_;
    ThreadPool pool_;
    std::map<uintptr_t, Allocation> memory_;
    uint64_t deviceBytes_ = 0;
    StreamWork legacy_;
    std::vector<std::unique_ptr<StreamWork>> streams_;  // in the order they were made
    std::vector<std::unique_ptr<EventMark>> events_;
    int sticky_ = kSuccess;
};

}  // namespace

std::unique_ptr<CudaApi> makeEmulatedCuda(const GpuProfile& profile, unsigned threads, PauseCheck paused) {
    return std::make_unique<EmulatedCuda>(profile, threads, std::move(paused));
}

std::unique_ptr<Runtime> makeEmulatedGpuRuntime(const GpuProfile& profile, unsigned threads, PauseCheck paused) {
    return makeGpuRuntime(makeEmulatedCuda(profile, threads, std::move(paused)));
}

}  // namespace kalvenor
