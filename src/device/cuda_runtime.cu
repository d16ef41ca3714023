// The CUDA calls of cuda_api.h on the CUDA runtime itself: each is the one
// runtime call of its name, and returns its status. What the program does
// with them is gpu_runtime.cpp's, shared with the emulation.
#include <cuda_runtime_api.h>

#include <cstdint>
#include <memory>
#include <string>

#include "device/cuda_api.h"
#include "kernels/cuda_kernels.h"
#include "kernels/cuda_sieve.h"
#include "kernels/kernel_table.h"

namespace kalvenor {

namespace {

cudaStream_t toStream(CudaApi::Stream stream) { return static_cast<cudaStream_t>(stream); }
cudaEvent_t toEvent(CudaApi::Event event) { return static_cast<cudaEvent_t>(event); }
cudaMemcpyKind toKind(CudaApi::Copy kind) {
    return kind == CudaApi::Copy::HostToDevice ? cudaMemcpyHostToDevice : cudaMemcpyDeviceToHost;
}

class CudaCalls final : public CudaApi {
public:
    int runtimeGetVersion(int& version) override { return cudaRuntimeGetVersion(&version); }
    int driverGetVersion(int& version) override { return cudaDriverGetVersion(&version); }
    int setDevice(int ordinal) override { return cudaSetDevice(ordinal); }

    int getDeviceProperties(int ordinal, DeviceInfo& info) override {
        cudaDeviceProp properties{};
        if (const cudaError_t error = cudaGetDeviceProperties(&properties, ordinal)) return error;
        // CUDA 13 dropped cudaDeviceProp::clockRate; the attribute still
        // gives the peak clock in kilohertz.
        int clockRate = 0;
        if (const cudaError_t error = cudaDeviceGetAttribute(&clockRate, cudaDevAttrClockRate, ordinal)) return error;
        info.name = properties.name;
        info.major = properties.major;
        info.minor = properties.minor;
        info.multiProcessorCount = properties.multiProcessorCount;
        info.clockRate = clockRate;
        return 0;
    }
    int setDeviceFlagsBlockingSync() override { return cudaSetDeviceFlags(cudaDeviceScheduleBlockingSync); }

    int hostAlloc(void** pointer, std::size_t bytes) override { return cudaHostAlloc(pointer, bytes, cudaHostAllocDefault); }
    int malloc(void** pointer, std::size_t bytes) override { return cudaMalloc(pointer, bytes); }
    int freeHost(void* pointer) override { return cudaFreeHost(pointer); }
    int free(void* pointer) override { return cudaFree(pointer); }

    int memcpy(void* to, const void* from, std::size_t bytes, Copy kind) override {
        return cudaMemcpy(to, from, bytes, toKind(kind));
    }
    int memcpyAsync(void* to, const void* from, std::size_t bytes, Copy kind, Stream stream) override {
        return cudaMemcpyAsync(to, from, bytes, toKind(kind), toStream(stream));
    }
    int memsetAsync(void* device, int value, std::size_t bytes, Stream stream) override {
        return cudaMemsetAsync(device, value, bytes, toStream(stream));
    }

    int streamCreateNonBlocking(Stream* stream) override {
        cudaStream_t made = nullptr;
        const cudaError_t error = cudaStreamCreateWithFlags(&made, cudaStreamNonBlocking);
        *stream = made;
        return error;
    }
    int streamDestroy(Stream stream) override { return cudaStreamDestroy(toStream(stream)); }
    int eventCreateBlockingSync(Event* event) override {
        cudaEvent_t made = nullptr;
        const cudaError_t error = cudaEventCreateWithFlags(&made, cudaEventDisableTiming | cudaEventBlockingSync);
        *event = made;
        return error;
    }
    int eventDestroy(Event event) override { return cudaEventDestroy(toEvent(event)); }
    int eventRecord(Event event, Stream stream) override { return cudaEventRecord(toEvent(event), toStream(stream)); }
    int eventSynchronize(Event event) override { return cudaEventSynchronize(toEvent(event)); }
    int streamSynchronize(Stream stream) override { return cudaStreamSynchronize(toStream(stream)); }
    int deviceSynchronize() override { return cudaDeviceSynchronize(); }

    // cudaLaunchKernel returns the launch's own status, so an earlier
    // call's error is never blamed on it.
    int launchKernel(int index, uint32_t blocks, uint32_t threadsPerBlock, const KernelArgs& args, Stream stream) override {
        const void* entry = cudaKernelEntry(index);
        if (entry == nullptr) return cudaErrorInvalidDeviceFunction;
        uint32_t* result = args.result;
        const uint64_t* candidates = args.candidates;
        uint32_t n = args.n;
        uint32_t count = args.count;
        uint32_t* residues = args.residues;
        const uint32_t* offsets = args.offsets;
        uint64_t base = args.base;
        const uint32_t* deviceCount = args.deviceCount;
        uint32_t checkSeed = args.checkSeed;
        void* arguments[] = {&result, &candidates, &n, &count, &residues, &offsets, &base, &deviceCount, &checkSeed};
        return cudaLaunchKernel(entry, dim3(blocks), dim3(threadsPerBlock), arguments, 0, toStream(stream));
    }
    int launchSievePhase(const SievePhaseLaunch& launch, const GpuSieveArgs& args, Stream stream) override {
        GpuSieveArgs copy = args;
        void* arguments[] = {&copy};
        // The window phase's shared memory is static, declared in its kernel.
        return cudaLaunchKernel(cudaSievePhaseEntry(launch.phase), dim3(launch.blocks), dim3(kSieveThreads), arguments, 0,
                                toStream(stream));
    }

    std::string getErrorString(int code) const override { return cudaGetErrorString(static_cast<cudaError_t>(code)); }
};

}  // namespace

std::unique_ptr<Runtime> makeCudaRuntime() { return makeGpuRuntime(std::make_unique<CudaCalls>()); }

}  // namespace kalvenor
