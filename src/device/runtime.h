// The one small interface through which the program reaches the device that
// runs the kernels: a CUDA GPU, or the host-emulated device that runs the same
// kernels on all CPU cores. Every operation returns 0 on success and a
// non-zero error number otherwise, as the CUDA runtime does, so start-up and
// the sieve treat both devices alike.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "device/thread_pool.h"
#include "kernels/kernel_args.h"
#include "kernels/sieve_kernel.h"

namespace kalvenor {

struct DeviceInfo {
    std::string name;
    int major = 0;
    int minor = 0;
    int multiProcessorCount = 0;
    int clockRate = 0;  // kilohertz
};

enum class RuntimeKind { Cuda, Host };

class Runtime {
public:
    virtual ~Runtime() = default;

    virtual RuntimeKind kind() const = 0;
    // The GPU profile the host device stands in for (KALVENOR_EMULATE_GPU),
    // or "" for a real device; an emulated GPU is of kind Cuda.
    virtual std::string emulation() const { return {}; }
    // Versions as 1000*major + 10*minor; 0 where there is none.
    virtual int runtimeVersion() const = 0;
    virtual int driverVersion() const = 0;

    virtual int selectDevice(int ordinal) = 0;
    virtual int deviceProperties(DeviceInfo& info) = 0;
    virtual void setBlockingSync() = 0;

    virtual int allocateHost(void** pointer, std::size_t bytes) = 0;    // page-locked on CUDA
    virtual int allocateDevice(void** pointer, std::size_t bytes) = 0;
    virtual int freeHost(void* pointer) = 0;
    virtual int freeDevice(void* pointer) = 0;

    // Ordered after everything queued anywhere.
    virtual int copyToDevice(void* device, const void* host, std::size_t bytes) = 0;
    virtual int copyToHost(void* host, const void* device, std::size_t bytes) = 0;

    // Queues of work (CUDA streams, each with an event) that run apart from
    // each other, each in the order its work was put in; queue 0 is the
    // default one. The host buffers of work still queued must stay untouched
    // until the queue is waited for.
    static constexpr int kQueues = 4;  // 0 .. kQueues-1
    virtual int copyToDeviceAsync(void* device, const void* host, std::size_t bytes, int queue) = 0;
    virtual int copyToHostAsync(void* host, const void* device, std::size_t bytes, int queue) = 0;
    // Runs kernel kKernels[kernelIndex] over blocks x threadsPerBlock threads.
    virtual int launch(int kernelIndex, uint32_t blocks, uint32_t threadsPerBlock, const KernelArgs& args,
                       int queue) = 0;
    // Sieves one segment on the device (kernels/sieve_kernel.h): clears the
    // count, then runs the sieve kernel's phases.
    virtual int launchSieve(const GpuSieveArgs& args, int queue) = 0;
    // Returns once everything put in `queue` so far is done, with the status of that work.
    virtual int waitQueue(int queue) = 0;
    // What waitQueue(queue) calls, for the message when it fails.
    virtual std::string waitCall(int queue) const = 0;
    // Returns once everything queued anywhere is done.
    virtual int synchronize() = 0;

    virtual std::string errorText(int code) const = 0;
};

// The CUDA version the binary was compiled against (CUDART_VERSION), 0 without CUDA.
int compiledCudaVersion();

// Whether a CUDA driver of version `driver` runs code built with toolkit
// `compiled`: from CUDA 11 on, any driver of the same major version or later
// (minor-version compatibility), before that only one at least as new.
bool driverRunsToolkit(int driver, int compiled);

struct RuntimeChoice {
    std::unique_ptr<Runtime> runtime;
    std::string whyHost;  // why the host device was chosen; empty on CUDA
    // Set when a GPU is there but cannot be used (a driver too old for this
    // build, a device none of its architectures runs): worth more than a
    // line of the version block, as the run is far slower without it.
    bool gpuLeftUnused = false;
    // What the CUDA runtime and driver report (0 without CUDA), shown even
    // when the host device is used, so the reason can be checked.
    int cudaRuntimeVersion = 0;
    int cudaDriverVersion = 0;
};

struct GpuProfile;

// CUDA device `ordinal` when the binary has CUDA and that device is usable;
// otherwise the host device, with the reason. forceHost picks the host
// device; `emulate` (KALVENOR_EMULATE_GPU) the host device as the strict
// emulation of that GPU, in place of any CUDA device. The host device's
// workers (`hostThreads`, 0: one per hardware thread) wait while `paused`
// says so.
RuntimeChoice chooseRuntime(bool forceHost = false, int ordinal = 0, PauseCheck paused = {}, unsigned hostThreads = 0,
                            const GpuProfile* emulate = nullptr);

// The host-emulated device with `threads` workers (0: one per hardware thread).
std::unique_ptr<Runtime> makeHostRuntime(unsigned threads = 0, PauseCheck paused = {});

// The host device as the strict emulation of GPU `profile` (gpu_profiles.h):
// a GPU to everything above this layer, running the GPU kernels' own code
// under CUDA's limits and ordering rules (emulated_cuda.h).
std::unique_ptr<Runtime> makeEmulatedGpuRuntime(const GpuProfile& profile, unsigned threads = 0, PauseCheck paused = {});

#if KALVENOR_WITH_CUDA
std::unique_ptr<Runtime> makeCudaRuntime();
#endif

}  // namespace kalvenor
