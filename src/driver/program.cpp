#include "driver/program.h"

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "device/cpu_info.h"
#include "device/runtime_error.h"
#include "device/thread_pool.h"
#include "device/transfer_buffers.h"
#include "driver/assignment_loop.h"
#include "driver/device_report.h"
#include "driver/exit_code.h"
#include "driver/options.h"
#include "driver/selftest.h"
#include "driver/stop_signals.h"
#include "driver/work_directory.h"
#include "kernels/host_kernels.h"
#include "kernels/kernel_args.h"

namespace kalvenor {

namespace {

constexpr const char* kVersionText = "2.018";

// Says what the program runs on and refuses what cannot run the kernels.
// Returns Success to go on, otherwise the exit code.
ExitCode describeDevice(const RuntimeChoice& choice, int ordinal, DeviceInfo& device) {
    Runtime& runtime = *choice.runtime;
    const int compiled = compiledCudaVersion();
    const int runtimeVersion = runtime.runtimeVersion();
    const int driverVersion = runtime.driverVersion();

    if (runtime.kind() == RuntimeKind::Host) {
        std::printf("%s", hostVersionBlock(choice.cudaRuntimeVersion, choice.cudaDriverVersion, compiled,
                                           choice.whyHost)
                              .c_str());
        if (KALVENOR_FAILED(runtime, runtime.selectDevice(0)) ||
            KALVENOR_FAILED(runtime, runtime.deviceProperties(device)))
            return ExitCode::RuntimeFailure;
        std::printf("%s", hostDeviceBlock(device, hostKernelPath()).c_str());
        return ExitCode::Success;
    }

    std::printf("%s", cudaVersionBlock(runtimeVersion, driverVersion, compiled).c_str());
    switch (checkVersions(runtimeVersion, driverVersion, compiled)) {
        case VersionVerdict::DriverTooOld:
            std::printf("\nERROR: current CUDA driver version is lower than the CUDA toolkit version used during compile!\n");
            return ExitCode::Stopped;
        case VersionVerdict::RuntimeMismatch:
            std::printf("\nERROR: CUDA runtime version must match the CUDA toolkit version used during compile!\n");
            return ExitCode::Stopped;
        case VersionVerdict::Accepted:
            break;
    }
    if (KALVENOR_FAILED(runtime, runtime.selectDevice(ordinal)) ||
        KALVENOR_FAILED(runtime, runtime.deviceProperties(device)))
        return ExitCode::RuntimeFailure;
    if (device.major == 1) {
        std::printf("\nSorry, devices with compute capability 1.x are not supported!\n");
        return ExitCode::Stopped;
    }
    std::printf("%s", cudaDeviceBlock(device).c_str());
    return ExitCode::Success;
}

ExitCode runWork(Runtime& runtime, const DeviceInfo& device, StopSignals& stop) {
    TransferBuffers buffers;
    ExitCode code = ExitCode::RuntimeFailure;
    if (allocateTransferBuffers(runtime, buffers, kBatchCapacity) == 0) {
        // The sieve's own threads, one per hardware thread, for the whole run.
        ThreadPool sieveWorkers(hardwareThreads());
        stop.setGraceful(true);
        code = runAssignmentLoop(WorkContext{runtime, buffers, device, sieveWorkers, stop});
        stop.setGraceful(false);
        std::fflush(stdout);
    }
    if (releaseTransferBuffers(runtime, buffers) != 0) code = ExitCode::RuntimeFailure;
    return code;
}

ExitCode run(const Options& options) {
    if (!options.error.empty()) {
        std::fprintf(stderr, "kalvenor: %s\nTry 'kalvenor --help' for more information.\n", options.error.c_str());
        return ExitCode::Usage;
    }
    if (options.help) {
        std::printf("%s", usageText().c_str());
        return ExitCode::Success;
    }
    if (options.version) {
        const int compiled = compiledCudaVersion();
        std::printf("Kalvenor_CUDA version %s\n", kVersionText);
        if (compiled == 0) std::printf("built without CUDA (kernels run on the host CPU)\n");
        else std::printf("built for CUDA %d.%d\n", compiled / 1000, compiled % 1000 / 10);
        return ExitCode::Success;
    }

    // A file-size limit must turn into a failed write that is reported, not a
    // silent kill in the middle of a rewrite.
    std::signal(SIGXFSZ, SIG_IGN);
    // Before any other thread exists, so that none of them takes the signals.
    StopSignals stop;

    RuntimeChoice choice = chooseRuntime(options.forceHost, options.deviceOrdinal);
    Runtime& runtime = *choice.runtime;
    // Whoever names a device runs one process per GPU: quietly sharing the
    // CPU instead would cost them most of their speed.
    if (options.deviceChosen && runtime.kind() != RuntimeKind::Cuda) {
        std::fprintf(stderr, "kalvenor: CUDA device %d cannot be used: %s\n", options.deviceOrdinal, choice.whyHost.c_str());
        return ExitCode::DeviceUnusable;
    }
    // The self-test reads and writes no work file, so it needs neither.
    DirectoryLock lock;
    if (!options.selftest) {
        if (const ExitCode locked = lock.acquire(); locked != ExitCode::Success) return locked;
        if (!directoryTakesTheRun()) return ExitCode::WorkFileWriteFailed;
    }
    std::printf("Kalvenor_CUDA version %s\n", kVersionText);
    DeviceInfo device;
    if (const ExitCode refused = describeDevice(choice, options.deviceOrdinal, device); refused != ExitCode::Success) {
        std::fflush(stdout);
        return refused;
    }
    runtime.setBlockingSync();
    std::fflush(stdout);

    if (options.selftest) return runSelftest(runtime) ? ExitCode::Success : ExitCode::Stopped;
    return runWork(runtime, device, stop);
}

}  // namespace

int runProgram(int argc, char** argv) {
    return static_cast<int>(run(parseOptions(std::vector<std::string>(argv + 1, argv + argc))));
}

}  // namespace kalvenor
