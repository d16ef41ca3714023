// The host kernels are the host-emulated device's whole workload, so they are
// optimised even in builds that optimise nothing else.
#if defined(__GNUC__) && !defined(__clang__) && !defined(__OPTIMIZE__)
#pragma GCC optimize("O2")
#endif

#include "kernels/host_kernels.h"

#include <array>
#include <utility>

#include "arith/montgomery_w64.h"
#include "kernels/kernel_slot.h"
#include "kernels/kernel_table.h"
#include "kernels/served_groups.h"

namespace kalvenor {
namespace {

// How many multipliers share one pass of the squaring loop. Narrow moduli
// leave the multiplier idle between dependent products, wide ones have
// enough independent products of their own and would only run out of
// registers.
constexpr uint32_t lanesFor(uint32_t limbs) { return limbs <= 2 ? 4 : 2; }

// Returns the group's checksum terms.
template <uint32_t Q, uint32_t W, uint32_t Lanes>
uint64_t testGroup(const KernelArgs& args, const uint64_t* ks, const uint32_t* slots, uint32_t checked) {
    bool passed[Lanes];
    uint64_t low[Lanes];
    uint32_t* residues[Lanes];
    for (uint32_t g = 0; g < Lanes; ++g) {
        residues[g] = args.residues != nullptr ? args.residues + slots[g] * kResidueStride
                      : slots[g] == checked   ? args.result + kCheckedResidueWord
                                              : nullptr;
    }
    limbs::testLanes<Q, W, Lanes>(ks, args.n, passed, low, residues);
    uint64_t terms = 0;
    for (uint32_t g = 0; g < Lanes; ++g) {
        if (slots[g] == checked) {
            markChecked(args.result, slots[g], ks[g]);
            if (args.residues != nullptr)
                for (uint32_t i = 0; i < W; ++i) args.result[kCheckedResidueWord + i] = residues[g][i];
        }
        if (passed[g]) appendRecord(args.result, ks[g]);
        terms += checksumTerm(ks[g], args.n, low[g]);
    }
    return terms;
}

// Slots [begin, end) of a launch, with what one GPU thread per slot would do,
// on 64-bit limbs; a short last group runs its multipliers one by one. The
// chunk's checksum terms go to the result buffer in one atomic add.
template <uint32_t Q, uint32_t W>
void runSlots(const KernelArgs& args, uint32_t begin, uint32_t end) {
    constexpr uint32_t kLanes = lanesFor(limbs::Shape<Q, W>::kLimbs);
    const uint32_t checked = checkedSlot(args.checkSeed, args.count);
    uint64_t terms = 0;
    forServedGroups<Q, W, kLanes>(args, begin, end, [&](const uint64_t* ks, const uint32_t* slots, uint32_t count) {
        if (count == kLanes) {
            terms += testGroup<Q, W, kLanes>(args, ks, slots, checked);
        } else {
            for (uint32_t g = 0; g < count; ++g) terms += testGroup<Q, W, 1>(args, ks + g, slots + g, checked);
        }
    });
    addToChecksum(args.result, terms);
}

constexpr std::array<HostKernelFn, kKernelCount> kHostKernels =
    perKernel([]<uint32_t Q, uint32_t W>() -> HostKernelFn { return &runSlots<Q, W>; });

}  // namespace

HostKernelFn limbKernel(int index) {
    if (index < 0 || index >= kKernelCount) return nullptr;
    return kHostKernels[static_cast<size_t>(index)];
}

}  // namespace kalvenor
