// The runtime interface on a GPU, written once over the CUDA calls
// (cuda_api.h): the real CUDA runtime runs it on a GPU, the strict
// emulation on the host, so both meet the same sequence of calls.
#include <cstdint>
#include <memory>
#include <string>

#include "device/cuda_api.h"
#include "device/runtime.h"
#include "kernels/kernel_table.h"
#include "kernels/launch_limits.h"

namespace kalvenor {

namespace {

// CUDA's numbers for the conditions this layer detects itself.
constexpr int kInvalidValue = 1;
constexpr int kInvalidDeviceFunction = 98;

class GpuRuntime final : public Runtime {
public:
    explicit GpuRuntime(std::unique_ptr<CudaApi> api) : api_(std::move(api)) {}

    ~GpuRuntime() override {
        for (int q = 1; q < kQueues; ++q) {
            if (streams_[q] != nullptr) api_->streamDestroy(streams_[q]);
            if (events_[q] != nullptr) api_->eventDestroy(events_[q]);
        }
    }

    RuntimeKind kind() const override { return RuntimeKind::Cuda; }
    std::string emulation() const override { return api_->emulatedProfile(); }

    // The statuses are ignored: on failure the version stays 0, which the
    // start-up checks refuse.
    int runtimeVersion() const override {
        int version = 0;
        api_->runtimeGetVersion(version);
        return version;
    }
    int driverVersion() const override {
        int version = 0;
        api_->driverGetVersion(version);
        return version;
    }

    int selectDevice(int ordinal) override {
        const int error = api_->setDevice(ordinal);
        if (error == 0) ordinal_ = ordinal;
        return error;
    }
    int deviceProperties(DeviceInfo& info) override { return api_->getDeviceProperties(ordinal_, info); }

    // A waiting host thread then sleeps instead of spinning on a core the
    // sieve could use; the status does not matter.
    void setBlockingSync() override { api_->setDeviceFlagsBlockingSync(); }

    int allocateHost(void** pointer, std::size_t bytes) override { return api_->hostAlloc(pointer, bytes); }
    int allocateDevice(void** pointer, std::size_t bytes) override { return api_->malloc(pointer, bytes); }
    int freeHost(void* pointer) override { return api_->freeHost(pointer); }
    int freeDevice(void* pointer) override { return api_->free(pointer); }

    // The queues' streams do not wait for the default stream, nor it for
    // them, so a copy that must follow everything waits for the device
    // first. From pageable memory cudaMemcpy may return before the data has
    // landed, and nothing would order a queue after it: waiting again makes
    // it complete on return, whatever memory it came from.
    int copyToDevice(void* device, const void* host, std::size_t bytes) override {
        if (const int error = api_->deviceSynchronize()) return error;
        if (const int error = api_->memcpy(device, host, bytes, CudaApi::Copy::HostToDevice)) return error;
        return api_->deviceSynchronize();
    }
    int copyToHost(void* host, const void* device, std::size_t bytes) override {
        if (const int error = api_->deviceSynchronize()) return error;
        return api_->memcpy(host, device, bytes, CudaApi::Copy::DeviceToHost);
    }
    int copyToDeviceAsync(void* device, const void* host, std::size_t bytes, int queue) override {
        CudaApi::Stream stream;
        if (const int error = streamOf(queue, stream)) return error;
        return api_->memcpyAsync(device, host, bytes, CudaApi::Copy::HostToDevice, stream);
    }
    int copyToHostAsync(void* host, const void* device, std::size_t bytes, int queue) override {
        CudaApi::Stream stream;
        if (const int error = streamOf(queue, stream)) return error;
        return api_->memcpyAsync(host, device, bytes, CudaApi::Copy::DeviceToHost, stream);
    }

    int launch(int kernelIndex, uint32_t blocks, uint32_t threadsPerBlock, const KernelArgs& args, int queue) override {
        CudaApi::Stream stream;
        if (const int error = streamOf(queue, stream)) return error;
        if (kernelIndex < 0 || kernelIndex >= kKernelCount) return kInvalidDeviceFunction;
        // CUDA's own limits, which the host devices keep too. The grid may
        // be larger than the batch (threads past its count do nothing): a
        // batch the device sieved holds up to kMostSievedBatch.
        if (!launchFits({blocks, threadsPerBlock, 0})) return kInvalidConfigurationError;
        return api_->launchKernel(kernelIndex, blocks, threadsPerBlock, args, stream);
    }

    // The count cleared, the large primes' bytes set, then the phases, all
    // in the queue's stream.
    int launchSieve(const GpuSieveArgs& args, int queue) override {
        CudaApi::Stream stream;
        if (const int error = streamOf(queue, stream)) return error;
        if (const int error = api_->memsetAsync(args.count, 0, sizeof(uint32_t), stream)) return error;
        if (const int error = api_->memsetAsync(args.bytes, 1, args.length, stream)) return error;
        for (const SievePhaseLaunch& phase : sieveLaunchesOf(args.primeCount, args.smallCount, args.length).phases)
            if (phase.blocks > 0)
                if (const int error = api_->launchSievePhase(phase, args, stream)) return error;
        return 0;
    }

    // An event recorded behind the queue's work and waited for: the host
    // waits for that queue alone, and sleeps meanwhile (blocking sync).
    int waitQueue(int queue) override {
        CudaApi::Stream stream;
        if (const int error = streamOf(queue, stream)) return error;
        if (queue == 0) return api_->streamSynchronize(stream);
        if (const int error = api_->eventRecord(events_[queue], stream)) return error;
        return api_->eventSynchronize(events_[queue]);
    }
    std::string waitCall(int queue) const override { return queue == 0 ? "cudaStreamSynchronize" : "cudaEventSynchronize"; }

    int synchronize() override { return api_->deviceSynchronize(); }

    std::string errorText(int code) const override { return api_->getErrorString(code); }

private:
    // Queue 0 is the legacy default stream; the others are made when first used.
    int streamOf(int queue, CudaApi::Stream& stream) {
        if (queue < 0 || queue >= kQueues) return kInvalidValue;
        if (queue > 0 && streams_[queue] == nullptr) {
            CudaApi::Event event = nullptr;
            if (const int error = api_->eventCreateBlockingSync(&event)) return error;
            if (const int error = api_->streamCreateNonBlocking(&streams_[queue])) {
                api_->eventDestroy(event);
                return error;
            }
            events_[queue] = event;
        }
        stream = streams_[queue];
        return 0;
    }

    std::unique_ptr<CudaApi> api_;
    int ordinal_ = 0;
    CudaApi::Stream streams_[kQueues] = {};
    CudaApi::Event events_[kQueues] = {};
};

}  // namespace

std::unique_ptr<Runtime> makeGpuRuntime(std::unique_ptr<CudaApi> api) { return std::make_unique<GpuRuntime>(std::move(api)); }

}  // namespace kalvenor
