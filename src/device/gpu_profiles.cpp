#include "device/gpu_profiles.h"

#include <array>
#include <cstdlib>

namespace kalvenor {

namespace {

constexpr uint64_t kGiB = uint64_t{1} << 30;

// Names, multiprocessors and peak clocks as the CUDA runtime reports them
// on these boards; memory as cudaMemGetInfo reports it free on an idle one.
const std::array<GpuProfile, 5> kProfiles{{
    {"t4", {"Tesla T4", 7, 5, 40, 1590000}, 14 * kGiB},
    {"a100", {"NVIDIA A100-SXM4-80GB", 8, 0, 108, 1410000}, 79 * kGiB},
    {"rtx4090", {"NVIDIA GeForce RTX 4090", 8, 9, 128, 2520000}, 23 * kGiB},
    {"h100", {"NVIDIA H100 80GB HBM3", 9, 0, 132, 1980000}, 79 * kGiB},
    {"b200", {"NVIDIA B200", 10, 0, 148, 1965000}, 178 * kGiB},
}};

}  // namespace

const GpuProfile* findGpuProfile(std::string_view key) {
    for (const GpuProfile& profile : kProfiles)
        if (key == profile.key) return &profile;
    return nullptr;
}

std::string gpuProfileKeys() {
    std::string keys;
    for (const GpuProfile& profile : kProfiles) keys += (keys.empty() ? "" : ", ") + std::string(profile.key);
    return keys;
}

std::optional<EmulationRequest> emulationRequested() {
    const char* name = std::getenv("KALVENOR_EMULATE_GPU");
    if (name == nullptr || *name == '\0') return std::nullopt;
    return EmulationRequest{name, findGpuProfile(name)};
}

}  // namespace kalvenor
