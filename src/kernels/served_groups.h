// How the host kernels walk their slots of a launch: the multipliers the
// kernel serves, in slot order, handed over in groups that run side by side.
#pragma once

#include <algorithm>
#include <cstdint>

#include "arith/coverage.h"
#include "kernels/kernel_args.h"

namespace kalvenor {

// Calls pass(ks, slots, count) for slots [begin, end) with groups of up to
// PerGroup multipliers; only the last group may be short. Multipliers the
// kernel does not serve (k = 0, P too narrow or too wide, n outside the
// window) are skipped before grouping, so every one handed over runs the
// full count of squarings on a valid modulus.
template <uint32_t Q, uint32_t W, uint32_t PerGroup, class Pass>
inline void forServedGroups(const KernelArgs& args, uint32_t begin, uint32_t end, Pass&& pass) {
    // Slots past the batch keep multipliers of an earlier batch, perhaps of
    // another exponent, or were never written: they are not this launch's.
    end = std::min(end, args.count);
    uint64_t ks[PerGroup];
    uint32_t slots[PerGroup];
    uint32_t filled = 0;
    for (uint32_t slot = begin; slot < end; ++slot) {
        const uint64_t k = candidateOf(args, slot);
        if (!servesCandidate<Q, W>(k, args.n)) continue;
        ks[filled] = k;
        slots[filled] = slot;
        if (++filled == PerGroup) {
            pass(ks, slots, filled);
            filled = 0;
        }
    }
    if (filled > 0) pass(ks, slots, filled);
}

}  // namespace kalvenor
