#include "driver/device_report.h"

#include "common/text_format.h"

namespace kalvenor {

namespace {


// Versions are 1000*major + 10*minor; the minor is shown as the remainder
// modulo 100, so 7050 reads 7.50 and 13000 reads 13.0.
std::string versionLine(const char* label, int version) {
    return formatText("  %-26s%d.%d\n", label, version / 1000, version % 100);
}

}  // namespace

VersionVerdict checkVersions(int runtimeVersion, int driverVersion, int compiledVersion) {
    if (!driverRunsToolkit(driverVersion, compiledVersion)) return VersionVerdict::DriverTooOld;
    if (runtimeVersion != compiledVersion) return VersionVerdict::RuntimeMismatch;
    return VersionVerdict::Accepted;
}

Architecture architectureOf(int major, int minor) {
    switch (major) {
        case 2: return {"Fermi", minor == 0 ? 32 : 48};
        case 3: return {"Kepler", 192};
        case 5: return {"Maxwell", 128};
        case 6: return {"Pascal", 128};
        case 7: return {minor == 0 ? "Volta" : minor == 5 ? "Turing" : "unknown", 64};
        case 8:
            if (minor == 0) return {"Ampere", 64};
            if (minor == 6 || minor == 7) return {"Ampere", 128};
            if (minor == 9) return {"Ada", 128};
            return {"unknown", 128};
        case 9: return {minor == 0 ? "Hopper" : "unknown", 128};
        case 10:
        case 12: return {"Blackwell", 128};
        default: return {"unknown", 0};
    }
}

std::string cudaVersionBlock(int runtimeVersion, int driverVersion, int compiledVersion) {
    return "\nCUDA version info\n" +
           formatText("  binary compiled for CUDA  %d.%d\n", compiledVersion / 1000,
                  compiledVersion % 1000 / 10) +
           versionLine("CUDA runtime version", runtimeVersion) +
           versionLine("CUDA driver version", driverVersion);
}

std::string cudaDeviceBlock(const DeviceInfo& device) {
    const Architecture arch = architectureOf(device.major, device.minor);
    return "\nCUDA device info\n" +
           formatText("  name (architecture)       %s (%s)\n", device.name.c_str(), arch.name) +
           formatText("  compute capability        %d.%d\n", device.major, device.minor) +
           formatText("  streaming multiprocessors %d (%d CUDA cores)\n", device.multiProcessorCount,
                  device.multiProcessorCount * arch.coresPerMultiprocessor) +
           formatText("  processor clock           %dMHz\n", device.clockRate / 1000);
}

std::string hostVersionBlock(int runtimeVersion, int driverVersion, int compiledVersion,
                             const std::string& whyHost) {
    std::string block = "\nCUDA version info\n";
    if (compiledVersion == 0) {
        block += "  binary compiled for CUDA  none\n";
    } else {
        block += formatText("  binary compiled for CUDA  %d.%d\n", compiledVersion / 1000,
                        compiledVersion % 1000 / 10) +
                 versionLine("CUDA runtime version", runtimeVersion) +
                 versionLine("CUDA driver version", driverVersion);
    }
    return block + formatText("  CUDA device in use        none: %s\n", whyHost.c_str());
}

std::string emulatedVersionBlock(int compiledVersion, const std::string& profile) {
    const std::string compiled = compiledVersion == 0 ? std::string("none")
                                                      : formatText("%d.%d", compiledVersion / 1000, compiledVersion % 1000 / 10);
    return "\nCUDA version info\n" + formatText("  binary compiled for CUDA  %s\n", compiled.c_str()) +
           formatText("  CUDA device in use        none: the host CPU emulates the GPU below, running its kernels' code "
                      "(KALVENOR_EMULATE_GPU=%s)\n",
                      profile.c_str());
}

std::string hostDeviceBlock(const DeviceInfo& cpu, const char* kernelPath) {
    std::string block = "\nHost device info\n" +
                        formatText("  name (architecture)       %s (host CPU)\n", cpu.name.c_str()) +
                        formatText("  threads used              %d\n", cpu.multiProcessorCount);
    if (cpu.clockRate > 0) block += formatText("  processor clock           %dMHz\n", cpu.clockRate / 1000);
    return block + formatText("  kernels on                %s\n", kernelPath);
}

}  // namespace kalvenor
