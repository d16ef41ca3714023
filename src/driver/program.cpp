#include "driver/program.h"

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "driver/assignment_loop.h"
#include "driver/device_report.h"
#include "driver/options.h"
#include "driver/selftest.h"
#include "kernels/check_status.h"
#include "kernels/host_kernels.h"
#include "kernels/transfer_buffers.h"

namespace kalvenor {

namespace {

constexpr const char* kVersionText = "2.018";

// Says what the program runs on and refuses what cannot run the kernels.
// Returns 0 to go on, otherwise the exit code.
int describeDevice(const RuntimeChoice& choice, int ordinal, DeviceInfo& device) {
    Runtime& runtime = *choice.runtime;
    const int compiled = compiledCudaVersion();
    const int runtimeVersion = runtime.runtimeVersion();
    const int driverVersion = runtime.driverVersion();

    if (runtime.kind() == RuntimeKind::Host) {
        std::printf("%s", hostVersionBlock(choice.cudaRuntimeVersion, choice.cudaDriverVersion, compiled,
                                           choice.whyHost)
                              .c_str());
        KALVENOR_CHECK(runtime, runtime.selectDevice(0));
        KALVENOR_CHECK(runtime, runtime.deviceProperties(device));
        std::printf("%s", hostDeviceBlock(device, hostKernelPath()).c_str());
        return 0;
    }

    std::printf("%s", cudaVersionBlock(runtimeVersion, driverVersion, compiled).c_str());
    switch (checkVersions(runtimeVersion, driverVersion, compiled)) {
        case VersionVerdict::DriverTooOld:
            std::printf("\nERROR: current CUDA driver version is lower than the CUDA toolkit version used during compile!\n");
            return 1;
        case VersionVerdict::RuntimeMismatch:
            std::printf("\nERROR: CUDA runtime version must match the CUDA toolkit version used during compile!\n");
            return 1;
        case VersionVerdict::Accepted:
            break;
    }
    KALVENOR_CHECK(runtime, runtime.selectDevice(ordinal));
    KALVENOR_CHECK(runtime, runtime.deviceProperties(device));
    if (device.major == 1) {
        std::printf("\nSorry, devices with compute capability 1.x are not supported!\n");
        return 1;
    }
    std::printf("%s", cudaDeviceBlock(device).c_str());
    return 0;
}

}  // namespace

int runProgram(int argc, char** argv) {
    const Options options = parseOptions(std::vector<std::string>(argv + 1, argv + argc));
    if (!options.error.empty()) {
        std::fprintf(stderr, "kalvenor: %s\nTry 'kalvenor --help' for more information.\n",
                     options.error.c_str());
        return 2;
    }
    if (options.help) {
        std::printf("%s", usageText().c_str());
        return 0;
    }
    if (options.version) {
        const int compiled = compiledCudaVersion();
        std::printf("Kalvenor_CUDA version %s\n", kVersionText);
        if (compiled == 0) std::printf("built without CUDA (kernels run on the host CPU)\n");
        else std::printf("built for CUDA %d.%d\n", compiled / 1000, compiled % 1000 / 10);
        return 0;
    }

    // A file-size limit must turn into a failed write that is reported, not a
    // silent kill in the middle of a rewrite.
    std::signal(SIGXFSZ, SIG_IGN);
    std::printf("Kalvenor_CUDA version %s\n", kVersionText);

    RuntimeChoice choice = chooseRuntime(options.forceHost, options.deviceOrdinal);
    Runtime& runtime = *choice.runtime;
    DeviceInfo device;
    if (const int refused = describeDevice(choice, options.deviceOrdinal, device);
        refused != 0) {
        std::fflush(stdout);
        return refused;
    }
    runtime.setBlockingSync();
    std::fflush(stdout);

    if (options.selftest) return runSelftest(runtime) ? 0 : 1;

    TransferBuffers buffers = allocateTransferBuffers(runtime);
    const int32_t code = runAssignmentLoop(DeviceContext{runtime, buffers, device});
    std::fflush(stdout);
    releaseTransferBuffers(runtime, buffers);
    return code;
}

}  // namespace kalvenor
