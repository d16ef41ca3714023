// What every kernel launch carries, on the GPU and on the host-emulated device.
#pragma once

#include <cstdint>

#include "kernels/launch_limits.h"

namespace kalvenor {

// Every test kernel runs blocks of this many threads, one slot each.
inline constexpr uint32_t kThreadsPerBlock = 256;

// The result buffer: word 0 counts the multipliers that passed (it keeps
// counting past three, so the host knows when records were lost for want of
// room); records r = 0..2 hold k's low word at 3r+1 and its high word at 3r+2;
// words 3r+3 are reserved and stay zero. The buffer is allocated as one
// 64-byte line, and nothing is written past word 9.
inline constexpr uint32_t kResultWords = 10;
inline constexpr uint32_t kResultBufferWords = 16;
inline constexpr uint32_t kResultRecords = 3;

// Residues written by the self-test: slot i's final value 2^(2^(n-1)) mod P,
// w words least significant first, at residues[i * kResidueStride].
inline constexpr uint32_t kResidueStride = 21;

struct KernelArgs {
    uint32_t* result;            // the device result buffer
    const uint64_t* candidates;  // the device batch, unless `offsets` is set
    uint32_t n;                  // the exponent of every candidate
    uint32_t count;              // slots 0..count-1 hold this batch; the rest are stale
    uint32_t* residues;          // null in normal runs
    // A batch the GPU sieve left on the device: slot i tests the multiplier
    // base + 2*offsets[i] of the segment at `base`, and the batch holds as
    // many as the device count says (at most `count`), which the host does
    // not know when it queues the launch.
    const uint32_t* offsets = nullptr;
    uint64_t base = 0;
    const uint32_t* deviceCount = nullptr;
};

// The multiplier of slot `slot`.
inline uint64_t candidateOf(const KernelArgs& args, uint32_t slot) {
    return args.offsets != nullptr ? args.base + 2 * uint64_t{args.offsets[slot]} : args.candidates[slot];
}

}  // namespace kalvenor
