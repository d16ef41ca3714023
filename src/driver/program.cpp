#include "driver/program.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include <unistd.h>

#include "common/version.h"
#include "device/cpu_info.h"
#include "device/gpu_profiles.h"
#include "device/runtime_error.h"
#include "device/thread_pool.h"
#include "device/transfer_buffers.h"
#include "driver/assignment_loop.h"
#include "driver/cut_command.h"
#include "driver/device_report.h"
#include "driver/exit_code.h"
#include "driver/launch_config.h"
#include "driver/options.h"
#include "driver/selftest.h"
#include "driver/stop_signals.h"
#include "driver/version_report.h"
#include "driver/work_directory.h"
#include "kernels/host_kernels.h"
#include "kernels/kernel_args.h"
#include "sieve/device_sieve.h"

namespace kalvenor {

namespace {

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
        if (choice.gpuLeftUnused)
            std::printf("\nWARNING: the GPU is not used (%s); the kernels run on the CPU, far slower.\n", choice.whyHost.c_str());
        return ExitCode::Success;
    }
    // An emulated GPU has no versions to check: it is the host.
    if (const std::string profile = runtime.emulation(); !profile.empty()) {
        std::printf("%s", emulatedVersionBlock(compiled, profile).c_str());
        if (KALVENOR_FAILED(runtime, runtime.selectDevice(ordinal)) ||
            KALVENOR_FAILED(runtime, runtime.deviceProperties(device)))
            return ExitCode::RuntimeFailure;
        std::printf("%s", cudaDeviceBlock(device).c_str());
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

// The sieve the options ask for. On a GPU, the device sieve is first
// compared with the host sieve on a few segments; where they differ the run
// goes on with the host sieve rather than test the wrong candidates.
SieveRequest chooseSieve(const Options& options, Runtime& runtime, ThreadPool& workers) {
    SieveRequest request{options.sieve == SieveChoice::Gpu ||
                             (options.sieve == SieveChoice::Default && runtime.kind() == RuntimeKind::Cuda),
                         options.sievePrimes};
    if (request.onDevice && runtime.kind() == RuntimeKind::Cuda) {
        const std::string difference = compareSieves(runtime, workers);
        if (!difference.empty()) {
            std::printf("\nWARNING: the GPU sieve does not agree with the host sieve (%s); sieving on the host.\n",
                        difference.c_str());
            request.onDevice = false;
        }
    }
    return request;
}

ExitCode runWork(Runtime& runtime, const DeviceInfo& device, const Options& options, StopSignals& stop,
                 const WorkPaths& paths, RunHost& host, unsigned threads) {
    std::vector<TransferBuffers> slots(ringSlotsFor(runtime.kind()));
    ExitCode code = ExitCode::RuntimeFailure;
    bool allocated = true;
    for (TransferBuffers& slot : slots) allocated = allocated && allocateTransferBuffers(runtime, slot, kBatchCapacity) == 0;
    if (allocated) {
        // The sieve's own threads, one per hardware thread, for the whole run.
        ThreadPool sieveWorkers(threads, [&host] { return host.suspended(); });
        const SieveRequest sieve = chooseSieve(options, runtime, sieveWorkers);
        stop.setGraceful(true);
        const bool liveProgress = !options.quiet && ::isatty(STDOUT_FILENO) == 1;
        code = runAssignmentLoop(WorkContext{runtime, slots, device, sieve, sieveWorkers, stop, paths, host, liveProgress});
        stop.setGraceful(false);
        std::fflush(stdout);
    }
    for (TransferBuffers& slot : slots)
        if (releaseTransferBuffers(runtime, slot) != 0) code = ExitCode::RuntimeFailure;
    return code;
}

ExitCode run(Options options, RunHost& host) {
    if (!options.error.empty()) {
        std::fprintf(stderr, "kalvenor: %s\nTry 'kalvenor --help' for more information.\n", options.error.c_str());
        return ExitCode::Usage;
    }
    if (options.help) {
        std::printf("%s", usageText().c_str());
        return ExitCode::Success;
    }
    if (options.version) {
        std::printf("%s", versionReport().c_str());
        return ExitCode::Success;
    }

    if (options.cut) return printWorkUnits(options.cutLine, options.cutCount, options.cutCosts);

    // For developers and tests: the host device standing in for a GPU.
    const std::optional<EmulationRequest> emulation = emulationRequested();
    if (emulation && emulation->profile == nullptr) {
        std::fprintf(stderr, "kalvenor: KALVENOR_EMULATE_GPU=%s is not a GPU the host device emulates (%s)\n",
                     emulation->name.c_str(), gpuProfileKeys().c_str());
        return ExitCode::Usage;
    }

    // A file-size limit must turn into a failed write that is reported, not a
    // silent kill in the middle of a rewrite.
    std::signal(SIGXFSZ, SIG_IGN);
    // Nor may a console that went away (a pager quit, `| head`) cost the
    // work: the output is lost and the run goes on with its files.
    std::signal(SIGPIPE, SIG_IGN);
    // Before any other thread exists, so that none of them takes the signals.
    StopSignals stop;

    // A client that assigns a GPU has chosen it as --device N would.
    if (const std::optional<int> assigned = host.assignedDevice()) {
        options.deviceOrdinal = *assigned;
        options.deviceChosen = true;
        options.forceHost = false;
    }
    const WorkPaths paths = resolvedWorkPaths([&host](const char* name) { return host.resolve(name); });
    // A client's unit that cannot run, or ran to its end before a restart, needs no device.
    if (!options.selftest)
        if (const std::optional<ExitCode> settled = host.settledUnit(paths)) return *settled;
    // Every hardware thread, unless a client has reserved fewer CPUs for the run.
    const unsigned threads = host.cpuLimit().value_or(hardwareThreads());
    RuntimeChoice choice = chooseRuntime(options.forceHost, options.deviceOrdinal, [&host] { return host.suspended(); },
                                         threads, emulation ? emulation->profile : nullptr);
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
        if (const ExitCode locked = lock.acquire(paths); locked != ExitCode::Success) return locked;
        if (!directoryTakesTheRun(paths)) return ExitCode::WorkFileWriteFailed;
    }
    std::printf("Kalvenor_CUDA version %s\n", kVersionText);
    if (const std::string under = host.description(); !under.empty()) std::printf("%s\n", under.c_str());
    DeviceInfo device;
    if (const ExitCode refused = describeDevice(choice, options.deviceOrdinal, device); refused != ExitCode::Success) {
        std::fflush(stdout);
        return refused;
    }
    runtime.setBlockingSync();
    std::fflush(stdout);
    if (!options.selftest) removeStaleTemporaries(paths);

    if (options.selftest) return runSelftest(runtime) ? ExitCode::Success : ExitCode::Stopped;
    return host.judgedEnd(runWork(runtime, device, options, stop, paths, host, threads), paths);
}

}  // namespace

bool runsWork(int argc, char** argv) {
    // Looked for anywhere, not parsed: a mistyped command is still a person's.
    for (int i = 1; i < argc; ++i)
        for (const char* command : {"--help", "-h", "--version", "--cut", "--selftest"})
            if (std::strcmp(argv[i], command) == 0) return false;
    return true;
}

int runProgram(int argc, char** argv, RunHost& host) {
    return static_cast<int>(run(parseOptions(std::vector<std::string>(argv + 1, argv + argc)), host));
}

}  // namespace kalvenor
