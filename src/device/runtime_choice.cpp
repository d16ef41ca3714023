// Which device runs the kernels. A CUDA build still runs on machines without
// a GPU or driver: it falls back to the host device and says why, so the
// reason can be shown instead of a CUDA error.
#include <string>

#include "device/runtime.h"

#if KALVENOR_WITH_CUDA
#include <cuda_runtime_api.h>

#include "kernels/cuda_kernels.h"
#endif

namespace kalvenor {

int compiledCudaVersion() {
#if KALVENOR_WITH_CUDA
    return CUDART_VERSION;
#else
    return 0;
#endif
}

bool driverRunsToolkit(int driver, int compiled) {
    if (compiled >= 11000) return driver / 1000 >= compiled / 1000;
    return driver >= compiled;
}

namespace {

RuntimeChoice hostChoice(std::string why, PauseCheck paused, unsigned threads) {
    return RuntimeChoice{makeHostRuntime(threads, std::move(paused)), std::move(why)};
}

#if KALVENOR_WITH_CUDA
std::string describeError(const char* call, cudaError_t code) {
    return std::string(call) + ": " + cudaGetErrorString(code) + " (" +
           std::to_string(static_cast<int>(code)) + ")";
}

std::string versionText(int version) { return std::to_string(version / 1000) + "." + std::to_string(version % 1000 / 10); }

// Why device `ordinal` cannot run the kernels, or "" when it can; `present`
// tells whether a GPU is there all the same.
std::string cudaUnusableReason(int ordinal, bool& present) {
    int driver = 0;
    cudaDriverGetVersion(&driver);
    present = false;
    // Asked first: with a driver too old every later call fails with a text
    // that does not say what to do about it.
    if (driver != 0 && !driverRunsToolkit(driver, CUDART_VERSION)) {
        present = true;
        return "the NVIDIA driver supports CUDA " + versionText(driver) + " only, and this program was built for CUDA " +
               versionText(CUDART_VERSION) + ": install a newer driver to use the GPU";
    }
    int count = 0;
    const cudaError_t countError = cudaGetDeviceCount(&count);
    if (countError != cudaSuccess) {
        cudaGetLastError();  // not sticky, but leave no trace for later calls
        if (driver == 0) {
            return "no CUDA driver (cudaDriverGetVersion reports 0; " +
                   describeError("cudaGetDeviceCount", countError) + ")";
        }
        return "CUDA is not usable (" + describeError("cudaGetDeviceCount", countError) + ")";
    }
    if (count <= 0) return "no CUDA device";
    if (ordinal < 0 || ordinal >= count) {
        return "CUDA device " + std::to_string(ordinal) + " does not exist (" +
               std::to_string(count) + (count == 1 ? " device" : " devices") + " present)";
    }
    // A driver too old for this toolkit, or a GPU none of the built
    // architectures can run, only shows when the kernel image is loaded:
    // ask for it now rather than fail at the first launch.
    cudaError_t error = cudaSetDevice(ordinal);
    if (error == cudaSuccess) {
        cudaFuncAttributes attributes{};
        const void* entry = cudaKernelEntry(0);
        error = entry == nullptr ? cudaErrorInvalidDeviceFunction
                                 : cudaFuncGetAttributes(&attributes, entry);
    }
    if (error != cudaSuccess) {
        cudaGetLastError();
        present = true;
        return "CUDA device " + std::to_string(ordinal) + " cannot run the kernels (" +
               cudaGetErrorString(error) + " (" + std::to_string(static_cast<int>(error)) +
               "))";
    }
    return {};
}
#endif

}  // namespace

RuntimeChoice chooseRuntime(bool forceHost, int ordinal, PauseCheck paused, unsigned hostThreads, const GpuProfile* emulate) {
    // The emulation has one device, as the machine it stands for.
    if (emulate != nullptr && !forceHost) {
        if (ordinal != 0)
            return hostChoice("emulated CUDA device " + std::to_string(ordinal) + " does not exist (1 device present)", paused,
                              hostThreads);
        return RuntimeChoice{makeEmulatedGpuRuntime(*emulate, hostThreads, std::move(paused)), {}};
    }
#if KALVENOR_WITH_CUDA
    int runtimeVersion = 0;
    int driverVersion = 0;
    cudaRuntimeGetVersion(&runtimeVersion);
    cudaDriverGetVersion(&driverVersion);
    RuntimeChoice choice;
    std::string why;
    if (forceHost) {
        choice = hostChoice("the host device was requested", paused, hostThreads);
    } else if (bool present = false; !(why = cudaUnusableReason(ordinal, present)).empty()) {
        choice = hostChoice(std::move(why), paused, hostThreads);
        choice.gpuLeftUnused = present;
    } else {
        choice = RuntimeChoice{makeCudaRuntime(), {}};
    }
    choice.cudaRuntimeVersion = runtimeVersion;
    choice.cudaDriverVersion = driverVersion;
    return choice;
#else
    if (forceHost) return hostChoice("the host device was requested", paused, hostThreads);
    (void)ordinal;
    return hostChoice("built without CUDA", paused, hostThreads);
#endif
}

}  // namespace kalvenor
