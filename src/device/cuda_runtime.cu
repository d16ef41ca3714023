// The GPU behind the runtime interface: each operation is the one CUDA
// runtime call that does it, on the default stream, and returns its status.
#include <cuda_runtime_api.h>

#include <cstdint>
#include <memory>
#include <string>

#include "device/runtime.h"
#include "kernels/cuda_kernels.h"
#include "kernels/cuda_sieve.h"
#include "kernels/kernel_table.h"

namespace kalvenor {

namespace {

class CudaRuntime final : public Runtime {
public:
    RuntimeKind kind() const override { return RuntimeKind::Cuda; }

    // The statuses are ignored: on failure the version stays 0, which the
    // start-up checks refuse.
    int runtimeVersion() const override {
        int version = 0;
        cudaRuntimeGetVersion(&version);
        return version;
    }
    int driverVersion() const override {
        int version = 0;
        cudaDriverGetVersion(&version);
        return version;
    }

    int selectDevice(int ordinal) override {
        const int error = cudaSetDevice(ordinal);
        if (error == cudaSuccess) ordinal_ = ordinal;
        return error;
    }

    int deviceProperties(DeviceInfo& info) override {
        cudaDeviceProp properties{};
        cudaError_t error = cudaGetDeviceProperties(&properties, ordinal_);
        if (error != cudaSuccess) return error;
        // CUDA 13 dropped cudaDeviceProp::clockRate; the attribute still
        // gives the peak clock in kilohertz.
        int clockRate = 0;
        error = cudaDeviceGetAttribute(&clockRate, cudaDevAttrClockRate, ordinal_);
        if (error != cudaSuccess) return error;
        info.name = properties.name;
        info.major = properties.major;
        info.minor = properties.minor;
        info.multiProcessorCount = properties.multiProcessorCount;
        info.clockRate = clockRate;
        return 0;
    }

    // A waiting host thread then sleeps instead of spinning on a core the
    // sieve could use; the status does not matter.
    void setBlockingSync() override { cudaSetDeviceFlags(cudaDeviceScheduleBlockingSync); }

    int allocateHost(void** pointer, std::size_t bytes) override {
        return cudaHostAlloc(pointer, bytes, cudaHostAllocDefault);
    }
    int allocateDevice(void** pointer, std::size_t bytes) override {
        return cudaMalloc(pointer, bytes);
    }
    int freeHost(void* pointer) override { return cudaFreeHost(pointer); }
    int freeDevice(void* pointer) override { return cudaFree(pointer); }

    // The queues' streams do not wait for the default stream, nor it for
    // them, so a copy that must follow everything waits for the device first.
    int copyToDevice(void* device, const void* host, std::size_t bytes) override {
        if (const cudaError_t error = cudaDeviceSynchronize()) return error;
        return cudaMemcpy(device, host, bytes, cudaMemcpyHostToDevice);
    }
    int copyToHost(void* host, const void* device, std::size_t bytes) override {
        if (const cudaError_t error = cudaDeviceSynchronize()) return error;
        return cudaMemcpy(host, device, bytes, cudaMemcpyDeviceToHost);
    }
    int copyToDeviceAsync(void* device, const void* host, std::size_t bytes, int queue) override {
        cudaStream_t stream;
        if (const int error = streamOf(queue, stream)) return error;
        return cudaMemcpyAsync(device, host, bytes, cudaMemcpyHostToDevice, stream);
    }
    int copyToHostAsync(void* host, const void* device, std::size_t bytes, int queue) override {
        cudaStream_t stream;
        if (const int error = streamOf(queue, stream)) return error;
        return cudaMemcpyAsync(host, device, bytes, cudaMemcpyDeviceToHost, stream);
    }

    int launch(int kernelIndex, uint32_t blocks, uint32_t threadsPerBlock, const KernelArgs& args, int queue) override {
        cudaStream_t stream;
        if (const int error = streamOf(queue, stream)) return error;
        if (kernelIndex < 0 || kernelIndex >= kKernelCount) return cudaErrorInvalidDeviceFunction;
        const void* entry = cudaKernelEntry(kernelIndex);
        if (entry == nullptr) return cudaErrorInvalidDeviceFunction;
        // Threads index the batch; a grid past its capacity would be a
        // caller's mistake that the host device refuses too.
        const uint64_t grid = uint64_t{blocks} * threadsPerBlock;
        if (grid == 0 || grid > kBatchCapacity) return cudaErrorInvalidConfiguration;
        uint32_t* result = args.result;
        const uint64_t* candidates = args.candidates;
        uint32_t n = args.n;
        uint32_t count = args.count;
        uint32_t* residues = args.residues;
        const uint32_t* offsets = args.offsets;
        uint64_t base = args.base;
        const uint32_t* deviceCount = args.deviceCount;
        void* arguments[] = {&result, &candidates, &n, &count, &residues, &offsets, &base, &deviceCount};
        return cudaLaunchKernel(entry, dim3(blocks), dim3(threadsPerBlock), arguments, 0, stream);
    }

    int launchSieve(const GpuSieveArgs& args, int queue) override {
        cudaStream_t stream;
        if (const int error = streamOf(queue, stream)) return error;
        return launchCudaSieve(args, stream);
    }

    // An event recorded behind the queue's work and waited for: the host
    // waits for that queue alone, and sleeps meanwhile (blocking sync).
    int waitQueue(int queue) override {
        cudaStream_t stream;
        if (const int error = streamOf(queue, stream)) return error;
        if (queue == 0) return cudaStreamSynchronize(stream);
        if (const cudaError_t error = cudaEventRecord(events_[queue], stream)) return error;
        return cudaEventSynchronize(events_[queue]);
    }

    int synchronize() override { return cudaDeviceSynchronize(); }

    std::string errorText(int code) const override {
        return cudaGetErrorString(static_cast<cudaError_t>(code));
    }

    ~CudaRuntime() override {
        for (int q = 1; q < kQueues; ++q) {
            if (streams_[q] != nullptr) cudaStreamDestroy(streams_[q]);
            if (events_[q] != nullptr) cudaEventDestroy(events_[q]);
        }
    }

private:
    // Queue 0 is the default stream; the others are made when first used.
    int streamOf(int queue, cudaStream_t& stream) {
        if (queue < 0 || queue >= kQueues) return cudaErrorInvalidValue;
        if (queue > 0 && streams_[queue] == nullptr) {
            if (const cudaError_t error = cudaStreamCreateWithFlags(&streams_[queue], cudaStreamNonBlocking)) return error;
            if (const cudaError_t error = cudaEventCreateWithFlags(&events_[queue], cudaEventDisableTiming | cudaEventBlockingSync))
                return error;
        }
        stream = streams_[queue];
        return 0;
    }

    int ordinal_ = 0;
    cudaStream_t streams_[kQueues] = {};
    cudaEvent_t events_[kQueues] = {};
};

}  // namespace

std::unique_ptr<Runtime> makeCudaRuntime() { return std::make_unique<CudaRuntime>(); }

}  // namespace kalvenor
