// What the vector host kernels (IFMA, AVX2) do with the slots of a launch,
// written once for both: fill the lanes, square, read each lane back. The
// arithmetic is the namespace of the lane types (ifma or avx2), found by
// argument-dependent lookup: both name their functions alike (startLane,
// squareGroups, laneWords, laneChecksums, laneIsOne, laneAtMostModulus).
#pragma once

#include <cstdint>

#include "kernels/kernel_slot.h"
#include "kernels/served_groups.h"

namespace kalvenor {

// Lanes of `LimbBits`-bit limbs, `Lanes` to a vector, `Groups` vectors
// squared side by side in one pass.
template <template <uint32_t, uint32_t> class Start, template <uint32_t> class Numbers, uint32_t Lanes,
          uint32_t LimbBits, uint32_t Groups>
struct LaneSlots {
    // The exponents of window Q fall in at most two limb positions J = n / LimbBits.
    template <uint32_t Q, uint32_t W>
    static void squareAll(const Start<Q, W>* starts, uint32_t n, Numbers<Start<Q, W>::N>* results) {
        constexpr uint32_t kFirstJ = 32 * Q / LimbBits;
        constexpr uint32_t kLastJ = (32 * Q + 31) / LimbBits;
        static_assert(kLastJ <= kFirstJ + 1);
        if (n / LimbBits == kFirstJ) squareGroups<Q, W, kFirstJ, Groups>(starts, n, results);
        else squareGroups<Q, W, kLastJ, Groups>(starts, n, results);
    }

    // Slots [begin, end) of a launch. A short last pass repeats its first
    // multiplier in the empty lanes and ignores them. The checksum terms are
    // taken a vector of lanes at a time, and only the self-test's residues
    // and the checked slot's are read back whole; the chunk's terms go to the
    // result buffer in one atomic add.
    template <uint32_t Q, uint32_t W>
    static void run(const KernelArgs& args, uint32_t begin, uint32_t end) {
        constexpr uint32_t N = Start<Q, W>::N;
        constexpr uint32_t kPerPass = Groups * Lanes;
        Start<Q, W> starts[Groups];
        Numbers<N> results[Groups];
        const uint32_t checked = checkedSlot(args.checkSeed, args.count);
        Numbers<1> terms{};  // per lane, summed at the end
        forServedGroups<Q, W, kPerPass>(args, begin, end, [&](const uint64_t* ks, const uint32_t* slots, uint32_t count) {
            for (uint32_t i = 0; i < kPerPass; ++i) startLane(starts[i / Lanes], i % Lanes, ks[i < count ? i : 0], args.n);
            squareAll<Q, W>(starts, args.n, results);
            laneChecksums(results, ks, count, args.n, terms);
            for (uint32_t i = 0; i < count; ++i) {
                const Numbers<N>& result = results[i / Lanes];
                const uint32_t lane = i % Lanes;
                KALVENOR_VERIFY_THAT(laneAtMostModulus(result, lane, starts[i / Lanes].t, args.n / LimbBits));
                if (args.residues != nullptr) laneWords(result, lane, args.residues + slots[i] * kResidueStride, W);
                if (laneIsOne(result, lane)) appendRecord(args.result, ks[i]);
            }
            // The slots of a pass ascend: two comparisons tell whether the checked one is among them.
            if (checked >= slots[0] && checked <= slots[count - 1]) {
                for (uint32_t i = 0; i < count; ++i) {
                    if (slots[i] != checked) continue;
                    markChecked(args.result, slots[i], ks[i]);
                    laneWords(results[i / Lanes], i % Lanes, args.result + kCheckedResidueWord, W);
                }
            }
        });
        uint64_t sum = 0;
        for (uint32_t lane = 0; lane < Lanes; ++lane) sum += terms.limb[0][lane];
        addToChecksum(args.result, sum);
    }
};

}  // namespace kalvenor
