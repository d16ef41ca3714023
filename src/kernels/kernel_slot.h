// What one kernel thread does with its slot of the batch, shared by the GPU
// kernels and the host kernels: test the multiplier and, if it passes, append
// it to the result buffer.
#pragma once

#include <atomic>
#include <cstdint>

#include "arith/montgomery_w32.h"
#include "kernels/kernel_args.h"

namespace kalvenor {

// Reserves the next record of the result buffer; returns its index.
KALVENOR_HD uint32_t reserveRecord(uint32_t* result) {
#if defined(__CUDA_ARCH__)
    return atomicAdd(result, 1u);
#elif defined(__cpp_lib_atomic_ref)
    return std::atomic_ref<uint32_t>(*result).fetch_add(1, std::memory_order_relaxed);
#else
    // The host half of a CUDA translation unit may be compiled as C++17.
    return __atomic_fetch_add(result, 1u, __ATOMIC_RELAXED);
#endif
}

// The count in word 0 goes on past three records, so the host can tell that
// factors were lost for want of room and test that batch again; the records
// themselves stop at three and nothing is written past word 9.
KALVENOR_HD void appendRecord(uint32_t* result, uint64_t k) {
    const uint32_t r = reserveRecord(result);
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
    if (testCandidate<Q, W>(k, n, residue)) appendRecord(result, k);
}

}  // namespace kalvenor
