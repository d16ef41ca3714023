// How one assignment is run: the kernel, the batch size, the depth of the
// host sieve. Decided once per assignment from the device and the range's
// starting point.
#pragma once

#include <cstdint>
#include <string>

#include "device/runtime.h"

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
    bool deviceSieve = false;      // the device sieves; threadsPerGrid is then its batch
};

// What the command line asks of the sieve.
struct SieveRequest {
    bool onDevice = false;
    int64_t primeCount = -1;  // -1: the depth chosen for the kernel
};

// The launch for a range starting at (nCurrent, kCurrent) on this device,
// or why no kernel serves it.
struct LaunchPlan {
    LaunchConfig config;
    const char* refusal = nullptr;  // why no kernel serves the range, as printed
};
LaunchPlan planLaunch(const DeviceInfo& device, RuntimeKind kind, uint32_t nCurrent,
                      uint64_t kCurrent, const SieveRequest& sieve = {});

// The GPU sieve's batch and depth on a CUDA device for kernel (q, w) at
// exponent n, from estimated costs (docs/launch-tuning.md): a batch holds
// about 2 ms of tests, and primes are added while the candidates one more
// removes would cost more to test than its strikes cost.
struct DeviceSieveShape {
    uint32_t batch = 0;
    uint32_t primeCount = 0;
};
DeviceSieveShape deviceSieveShape(const DeviceInfo& device, uint32_t q, uint32_t w, uint32_t n);

// Batches in flight at once: on a GPU, one running, one queued behind it and
// one being prepared; the host device runs one batch while the next is sieved.
uint32_t ringSlotsFor(RuntimeKind kind);

// The "Runtime options" block for a settled configuration.
std::string runtimeOptionsText(const LaunchConfig& config);

// The GPU tables. A multiprocessor count of 0 or less is class 2.
int32_t deviceClassOf(int major, int multiProcessorCount);
uint32_t threadsPerGridFor(int major, int multiProcessorCount, uint32_t wordCount);
// wordCount 3..21 and deviceClass 0..2; 0 outside the table.
uint32_t primeCountFor(int32_t deviceClass, uint32_t wordCount);

// The host-emulated device's own choice, wordCount 3..21; zeros outside.
struct HostLaunchRow {
    uint32_t threadsPerGrid;
    uint32_t primeCount;
};
HostLaunchRow hostLaunchRowFor(uint32_t wordCount);

}  // namespace kalvenor
