// What start-up says about the versions and the device, and which versions
// it refuses. Kept apart from the program entry so every case can be tested
// with made-up numbers.
#pragma once

#include <string>

#include "device/runtime.h"

namespace kalvenor {

enum class VersionVerdict { Accepted, DriverTooOld, RuntimeMismatch };

// The driver must run the toolkit the binary was compiled with (from CUDA 11
// on, any driver of the same major version or later) and the runtime must
// be exactly that version; the driver is judged first.
VersionVerdict checkVersions(int runtimeVersion, int driverVersion, int compiledVersion);

struct Architecture {
    const char* name;
    int coresPerMultiprocessor;  // 0 where unknown
};

Architecture architectureOf(int major, int minor);

// "\nCUDA version info\n" and its three lines.
std::string cudaVersionBlock(int runtimeVersion, int driverVersion, int compiledVersion);

// "\nCUDA device info\n" and its four lines.
std::string cudaDeviceBlock(const DeviceInfo& device);

// The same two blocks for the host-emulated device: no CUDA device is in
// use, why, and the CPU that runs the kernels instead.
std::string hostVersionBlock(int runtimeVersion, int driverVersion, int compiledVersion,
                             const std::string& whyHost);
// The version block when the host device emulates GPU `profile`; the
// device block that follows is the emulated GPU's (cudaDeviceBlock).
std::string emulatedVersionBlock(int compiledVersion, const std::string& profile);
// kernelPath says what the host kernels run on (hostKernelPath()).
std::string hostDeviceBlock(const DeviceInfo& cpu, const char* kernelPath);

}  // namespace kalvenor
