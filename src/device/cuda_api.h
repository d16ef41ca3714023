// The CUDA runtime calls the program makes, and nothing else, as an
// interface. The GPU runtime (gpu_runtime.cpp) is written once over it and
// runs over two implementations: the CUDA runtime itself
// (cuda_runtime.cu), and the strict emulation of a GPU on the host
// (emulated_cuda.cpp). So the sequences of calls that a GPU meets, with
// their ordering and their limits, are the ones the emulation checks.
//
// Each call is the CUDA call of the same name, with its arguments and its
// status: 0 on success, otherwise CUDA's error number.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "device/runtime.h"
#include "kernels/kernel_args.h"
#include "kernels/sieve_kernel.h"

namespace kalvenor {

class CudaApi {
public:
    // cudaStream_t and cudaEvent_t. The null stream is the legacy default
    // stream; the streams made here never wait for it, nor it for them.
    using Stream = void*;
    using Event = void*;
    enum class Copy { HostToDevice, DeviceToHost };

    virtual ~CudaApi() = default;

    virtual int runtimeGetVersion(int& version) = 0;
    virtual int driverGetVersion(int& version) = 0;
    virtual int setDevice(int ordinal) = 0;
    // cudaGetDeviceProperties with the clock from cudaDeviceGetAttribute.
    virtual int getDeviceProperties(int ordinal, DeviceInfo& info) = 0;
    virtual int setDeviceFlagsBlockingSync() = 0;

    virtual int hostAlloc(void** pointer, std::size_t bytes) = 0;  // page-locked
    virtual int malloc(void** pointer, std::size_t bytes) = 0;
    virtual int freeHost(void* pointer) = 0;
    virtual int free(void* pointer) = 0;

    // cudaMemcpy, in the legacy default stream.
    virtual int memcpy(void* to, const void* from, std::size_t bytes, Copy kind) = 0;
    virtual int memcpyAsync(void* to, const void* from, std::size_t bytes, Copy kind, Stream stream) = 0;
    virtual int memsetAsync(void* device, int value, std::size_t bytes, Stream stream) = 0;

    virtual int streamCreateNonBlocking(Stream* stream) = 0;
    virtual int streamDestroy(Stream stream) = 0;
    virtual int eventCreateBlockingSync(Event* event) = 0;  // without timing
    virtual int eventDestroy(Event event) = 0;
    virtual int eventRecord(Event event, Stream stream) = 0;
    virtual int eventSynchronize(Event event) = 0;
    virtual int streamSynchronize(Stream stream) = 0;
    virtual int deviceSynchronize() = 0;

    // cudaLaunchKernel of test kernel kKernels[index] with `args`.
    virtual int launchKernel(int index, uint32_t blocks, uint32_t threadsPerBlock, const KernelArgs& args,
                             Stream stream) = 0;
    // cudaLaunchKernel of one phase of the sieve kernel (kSieveThreads per block).
    virtual int launchSievePhase(const SievePhaseLaunch& launch, const GpuSieveArgs& args, Stream stream) = 0;

    virtual std::string getErrorString(int code) const = 0;

    // The GPU profile this stands for, when it is the emulation; "" for CUDA itself.
    virtual std::string emulatedProfile() const { return {}; }
};

// The runtime interface over `api` (gpu_runtime.cpp).
std::unique_ptr<Runtime> makeGpuRuntime(std::unique_ptr<CudaApi> api);

}  // namespace kalvenor
