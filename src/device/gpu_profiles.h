// The GPUs the host device can stand in for (KALVENOR_EMULATE_GPU=NAME): what
// each one tells the program about itself, so that the launch plan, the
// device block and the GPU sieve's shape are the ones that GPU would get.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "device/runtime.h"

namespace kalvenor {

struct GpuProfile {
    const char* key;  // what KALVENOR_EMULATE_GPU names
    DeviceInfo device;
    uint64_t memoryBytes;  // device memory, the most cudaMalloc can take in all
};

// The profile named `key`, or null.
const GpuProfile* findGpuProfile(std::string_view key);

// The keys, for messages: "t4, a100, rtx4090, h100, b200".
std::string gpuProfileKeys();

// What KALVENOR_EMULATE_GPU asks for: no emulation (nullopt when unset or
// empty), a profile, or a name that is none (then `profile` is null).
struct EmulationRequest {
    std::string name;
    const GpuProfile* profile = nullptr;
};
std::optional<EmulationRequest> emulationRequested();

}  // namespace kalvenor
