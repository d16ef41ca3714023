// The GPU behind the runtime interface: each operation is the one CUDA
// runtime call that does it, on the default stream, and returns its status.
#include <cuda_runtime_api.h>

#include <cstdint>
#include <memory>
#include <string>

#include "device/runtime.h"
#include "kernels/cuda_kernels.h"
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

    int copyToDevice(void* device, const void* host, std::size_t bytes) override {
        return cudaMemcpy(device, host, bytes, cudaMemcpyHostToDevice);
    }
    int copyToDeviceAsync(void* device, const void* host, std::size_t bytes) override {
        return cudaMemcpyAsync(device, host, bytes, cudaMemcpyHostToDevice, 0);
    }
    int copyToHost(void* host, const void* device, std::size_t bytes) override {
        return cudaMemcpy(host, device, bytes, cudaMemcpyDeviceToHost);
    }

    int launch(int kernelIndex, uint32_t blocks, uint32_t threadsPerBlock,
               const KernelArgs& args) override {
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
        void* arguments[] = {&result, &candidates, &n, &count, &residues};
        return cudaLaunchKernel(entry, dim3(blocks), dim3(threadsPerBlock), arguments, 0, 0);
    }

    int synchronize() override { return cudaDeviceSynchronize(); }

    std::string errorText(int code) const override {
        return cudaGetErrorString(static_cast<cudaError_t>(code));
    }

private:
    int ordinal_ = 0;
};

}  // namespace

std::unique_ptr<Runtime> makeCudaRuntime() { return std::make_unique<CudaRuntime>(); }

}  // namespace kalvenor
