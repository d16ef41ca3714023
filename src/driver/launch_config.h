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

}  // namespace kalvenor
