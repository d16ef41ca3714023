// What one kernel thread does with its slot, shared by the GPU kernels and
// the host kernels: test the multiplier, add its checksum term, report its
// residue when it is the launch's checked slot, and append it to the result
// buffer if it passes.
#pragma once

#include <cstdint>

#include "arith/montgomery_narrow.h"
#include "arith/residue_checksum.h"
#include "kernels/device_atomic.h"
#include "kernels/kernel_args.h"

namespace kalvenor {

// The count in word 0 goes on past three records, so the host can tell that
// factors were lost for want of room and test that batch again; the records
// themselves stop at three.
KALVENOR_HD void appendRecord(uint32_t* result, uint64_t k) {
    const uint32_t r = addAtomically(result, 1);
    if (r < kResultRecords) {
        result[3 * r + 1] = static_cast<uint32_t>(k);
        result[3 * r + 2] = static_cast<uint32_t>(k >> 32);
    }
}

// The checked slot's index and multiplier; its residue goes from word
// kCheckedResidueWord on.
KALVENOR_HD void markChecked(uint32_t* result, uint32_t slot, uint64_t k) {
    result[kCheckedSlotWord] = slot + 1;
    result[kCheckedKWord] = static_cast<uint32_t>(k);
    result[kCheckedKWord + 1] = static_cast<uint32_t>(k >> 32);
}

// Slot `slot` of a launch of the kernel for window Q and word count W: its
// multiplier is candidates[slot], or base + 2*offsets[slot] for a batch the
// GPU sieve left on the device. Every thread of the launch calls it, also
// those past the batch: the checksum is summed across the warp. Candidate
// is the 64-bit type of the caller's batch pointer (the GPU kernels are
// declared with unsigned long long).
template <uint32_t Q, uint32_t W, typename Candidate>
KALVENOR_HD void testSlot(uint32_t* result, const Candidate* candidates, uint32_t n, uint32_t count,
                          uint32_t* residues, const uint32_t* offsets, uint64_t base, const uint32_t* deviceCount,
                          uint32_t checkSeed, uint32_t slot) {
    static_assert(sizeof(Candidate) == 8, "multipliers are 64-bit");
    // Slots past the batch keep multipliers of an earlier batch, perhaps of
    // another exponent, or were never written: they are not this launch's.
    const uint32_t batch = deviceCount != nullptr && *deviceCount < count ? *deviceCount : count;
    uint64_t term = 0;
    Words<W> r;
    if (slot < batch) {
        const uint64_t k = offsets != nullptr ? base + 2 * uint64_t{offsets[slot]} : uint64_t{candidates[slot]};
        if (narrow::residueOf<Q, W>(k, n, r)) {
            const bool checked = slot == checkedSlot(checkSeed, batch);
            if (checked) markChecked(result, slot, k);
            uint32_t differs = r.w[0] ^ 1u;
            KALVENOR_UNROLL
            for (uint32_t i = 0; i < W; ++i) {
                if (residues != nullptr) residues[slot * kResidueStride + i] = r.w[i];
                if (checked) result[kCheckedResidueWord + i] = r.w[i];
                if (i > 0) differs |= r.w[i];
            }
            if (differs == 0) appendRecord(result, k);
            term = checksumTerm(k, n, uint64_t{r.w[1]} << 32 | r.w[0]);
        }
    }
    addToChecksum(result, term);
}

}  // namespace kalvenor
