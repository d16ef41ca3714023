// What a launch may be and how large the buffers behind it are: the one
// place both runtimes and the launch planner take these numbers from.
//
// The limits are the CUDA runtime's own for every GPU the program is built
// for (compute capability 7.5 on): a launch that breaks one fails with
// "invalid configuration" on a GPU, so the host-emulated device refuses it
// with that error too, and the planner never plans one.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kalvenor {

inline constexpr uint32_t kMaxThreadsPerBlock = 1024;
inline constexpr uint32_t kMaxGridBlocks = 0x7fffffffu;  // gridDim.x
// Static shared memory of one block; more needs an opt-in the kernels do not make.
inline constexpr std::size_t kMaxStaticSharedBytes = 48 * 1024;

// CUDA's number for a launch outside these limits.
inline constexpr int kInvalidConfigurationError = 9;

struct LaunchShape {
    uint64_t blocks = 0;
    uint32_t threadsPerBlock = 0;
    std::size_t sharedBytes = 0;
};

constexpr bool launchFits(const LaunchShape& s) {
    return s.blocks >= 1 && s.blocks <= kMaxGridBlocks && s.threadsPerBlock >= 1 &&
           s.threadsPerBlock <= kMaxThreadsPerBlock && s.sharedBytes <= kMaxStaticSharedBytes;
}

// The buffers. A batch the host sieved sits in a host buffer of
// kBatchCapacity multipliers and is copied over; one the device sieved
// stays there as offsets, at most kMostSievedBatch of them, from a segment
// of at most kMostSegmentLength odd multipliers (one scratch byte each).
inline constexpr uint32_t kBatchCapacity = 1u << 20;
inline constexpr uint32_t kMostSievedBatch = 1u << 24;
inline constexpr uint32_t kMostSegmentLength = 1u << 30;

}  // namespace kalvenor
