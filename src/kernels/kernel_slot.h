// What one kernel thread does with its slot of the batch, shared by the GPU
// kernels and the host kernels: test the multiplier and, if it passes, append
// it to the result buffer.
#pragma once

#include <cstdint>

#include "arith/montgomery_narrow.h"
#include "kernels/device_atomic.h"
#include "kernels/kernel_args.h"

namespace kalvenor {

// The count in word 0 goes on past three records, so the host can tell that
// factors were lost for want of room and test that batch again; the records
// themselves stop at three and nothing is written past word 9.
KALVENOR_HD void appendRecord(uint32_t* result, uint64_t k) {
    const uint32_t r = addAtomically(result, 1);
    if (r < kResultRecords) {
        result[3 * r + 1] = static_cast<uint32_t>(k);
        result[3 * r + 2] = static_cast<uint32_t>(k >> 32);
    }
}

// Slot `slot` of a launch of the kernel for window Q and word count W: its
// multiplier is candidates[slot], or base + 2*offsets[slot] for a batch the
// GPU sieve left on the device. Candidate is the 64-bit type of the caller's
// batch pointer (the GPU kernels are declared with unsigned long long).
template <uint32_t Q, uint32_t W, typename Candidate>
KALVENOR_HD void testSlot(uint32_t* result, const Candidate* candidates, uint32_t n, uint32_t count,
                          uint32_t* residues, const uint32_t* offsets, uint64_t base, const uint32_t* deviceCount,
                          uint32_t slot) {
    static_assert(sizeof(Candidate) == 8, "multipliers are 64-bit");
    // Slots past the batch keep multipliers of an earlier batch, perhaps of
    // another exponent, or were never written: they are not this launch's.
    if (slot >= count || (deviceCount != nullptr && slot >= *deviceCount)) return;
    const uint64_t k = offsets != nullptr ? base + 2 * uint64_t{offsets[slot]} : uint64_t{candidates[slot]};
    uint32_t* residue = residues != nullptr ? residues + slot * kResidueStride : nullptr;
    if (narrow::testCandidate<Q, W>(k, n, residue)) appendRecord(result, k);
}

}  // namespace kalvenor
