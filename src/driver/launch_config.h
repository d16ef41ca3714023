// How one assignment is run: the kernel, the batch size, the depth of the
// host sieve. Decided once per assignment from the device and the range's
// starting point.
#pragma once

#include <cstdint>
#include <string>

#include "kernels/runtime.h"

namespace kalvenor {

struct LaunchConfig {
    uint32_t wordCount = 0;
    std::string kernelName;
    int launchEntry = -1;          // index into kKernels
    uint32_t threadsPerGrid = 0;   // also the most multipliers one batch holds
    uint32_t blocksPerGrid = 0;    // of 256 threads
    int32_t deviceClass = 0;
    uint32_t primeCount = 0;
    int32_t sieveRange = 0;        // odd multipliers per sieve segment
};

LaunchConfig& launchConfig();

// Settles the launch for a range starting at (nCurrent, kCurrent) on this
// device and prints the "Runtime options" block; when no kernel serves the
// range it prints why and ends the process with exit code 1.
LaunchConfig configureLaunch(const DeviceInfo& device, RuntimeKind kind, uint32_t nCurrent,
                             uint64_t kCurrent);

}  // namespace kalvenor
