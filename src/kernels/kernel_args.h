// What every kernel launch carries, on the GPU and on the host-emulated device.
#pragma once

#include <cstdint>

#include "arith/carry_chain.h"
#include "kernels/launch_limits.h"

namespace kalvenor {

// Every test kernel runs blocks of this many threads, one slot each.
inline constexpr uint32_t kThreadsPerBlock = 256;

// The result buffer of a launch, 48 words, all of them zero before it:
//  - word 0 counts the multipliers that passed (it keeps counting past
//    three, so the host knows when records were lost for want of room);
//    records r = 0..2 hold k's low word at 3r+1 and its high word at 3r+2;
//    words 3r+3 are reserved and stay zero;
//  - words 10 and 11 the sum, modulo 2^64, of the checksum terms of every
//    multiplier tested (arith/residue_checksum.h), low word first;
//  - words 12 to 35 the checked slot: its index plus one, its multiplier
//    (low word, high word) and, from word 15, its residue in w words, which
//    the host recomputes: one slot per launch, chosen by the launch's seed.
// Nothing is written past word 35.
inline constexpr uint32_t kResultRecords = 3;
inline constexpr uint32_t kChecksumWord = 10;
inline constexpr uint32_t kCheckedSlotWord = 12;
inline constexpr uint32_t kCheckedKWord = 13;
inline constexpr uint32_t kCheckedResidueWord = 15;
inline constexpr uint32_t kResultWords = 36;
inline constexpr uint32_t kResultBufferWords = 48;

// Residues written by the self-test: slot i's final value 2^(2^(n-1)) mod P,
// w words least significant first, at residues[i * kResidueStride].
inline constexpr uint32_t kResidueStride = 21;
static_assert(kCheckedResidueWord + kResidueStride == kResultWords);

// The slot of a batch of `count` whose residue a launch with `seed` reports:
// a multiply and a shift, spread over the batch as the seed is over 32 bits.
KALVENOR_HD uint32_t checkedSlot(uint32_t seed, uint32_t count) {
    return static_cast<uint32_t>((uint64_t{seed} * count) >> 32);
}

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
    uint32_t checkSeed = 0;  // which slot reports its residue (checkedSlot)
};

// The multiplier of slot `slot`.
inline uint64_t candidateOf(const KernelArgs& args, uint32_t slot) {
    return args.offsets != nullptr ? args.base + 2 * uint64_t{args.offsets[slot]} : args.candidates[slot];
}

}  // namespace kalvenor
