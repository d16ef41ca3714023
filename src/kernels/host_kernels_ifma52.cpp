// The kernels on AVX-512 IFMA. Only the squaring loop runs those
// instructions (it carries the target attribute); everything here is built
// for the baseline processor, and hostKernel() hands these out only after
// asking the processor.
#if defined(__GNUC__) && !defined(__clang__) && !defined(__OPTIMIZE__)
#pragma GCC optimize("O2")
#endif

#include "kernels/host_kernels.h"

#include <array>

#include "arith/montgomery_ifma52.h"
#include "kernels/kernel_slot.h"
#include "kernels/kernel_table.h"
#include "kernels/served_groups.h"

namespace kalvenor {

#if KALVENOR_HAS_IFMA_PATH

namespace {

using ifma::kLanes;
using ifma::LaneNumbers;
using ifma::LaneStart;

// Groups of eight lanes per pass: narrow moduli have short columns whose
// carries leave the multipliers idle, so more groups fill the gaps; at 13
// limbs a second group no longer fits the 32 vector registers. Chosen by
// measurement (docs/launch-tuning.md).
constexpr uint32_t groupsFor(uint32_t limbs) { return limbs <= 4 ? 4 : limbs <= 12 ? 2 : 1; }

// The exponents of window Q fall in at most two limb positions J = n/52.
template <uint32_t Q, uint32_t W, uint32_t Groups>
void squareAll(const LaneStart<Q, W>* starts, uint32_t n, LaneNumbers<LaneStart<Q, W>::N>* results) {
    constexpr uint32_t kFirstJ = 32 * Q / ifma::kLimbBits;
    constexpr uint32_t kLastJ = (32 * Q + 31) / ifma::kLimbBits;
    static_assert(kLastJ <= kFirstJ + 1);
    if (n / ifma::kLimbBits == kFirstJ) {
        ifma::squareGroups<Q, W, kFirstJ, Groups>(starts, n, results);
    } else {
        ifma::squareGroups<Q, W, kLastJ, Groups>(starts, n, results);
    }
}

// Slots [begin, end) of a launch. A short last pass repeats its first
// multiplier in the empty lanes and ignores them.
template <uint32_t Q, uint32_t W>
void runSlots(const KernelArgs& args, uint32_t begin, uint32_t end) {
    constexpr uint32_t N = LaneStart<Q, W>::N;
    constexpr uint32_t kGroups = groupsFor(N);
    constexpr uint32_t kPerPass = kGroups * kLanes;
    LaneStart<Q, W> starts[kGroups];
    LaneNumbers<N> results[kGroups];
    forServedGroups<Q, W, kPerPass>(args, begin, end, [&](const uint64_t* ks, const uint32_t* slots, uint32_t count) {
        for (uint32_t i = 0; i < kPerPass; ++i)
            ifma::startLane(starts[i / kLanes], i % kLanes, ks[i < count ? i : 0], args.n);
        squareAll<Q, W, kGroups>(starts, args.n, results);
        for (uint32_t i = 0; i < count; ++i) {
            const LaneNumbers<N>& result = results[i / kLanes];
            KALVENOR_VERIFY_THAT(ifma::laneAtMostModulus(result, i % kLanes, starts[i / kLanes].t,
                                                         args.n / ifma::kLimbBits));
            if (args.residues != nullptr)
                ifma::laneWords(result, i % kLanes, args.residues + slots[i] * kResidueStride, W);
            if (ifma::laneIsOne(result, i % kLanes)) appendRecord(args.result, ks[i]);
        }
    });
}

constexpr std::array<HostKernelFn, kKernelCount> kIfmaKernels =
    perKernel([]<uint32_t Q, uint32_t W>() -> HostKernelFn { return &runSlots<Q, W>; });

}  // namespace

bool ifmaUsable() {
    static const bool usable = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512ifma");
    }();
    return usable;
}

HostKernelFn ifmaKernel(int index) {
    if (!ifmaUsable() || index < 0 || index >= kKernelCount) return nullptr;
    return kIfmaKernels[static_cast<size_t>(index)];
}

#else

bool ifmaUsable() { return false; }
HostKernelFn ifmaKernel(int) { return nullptr; }

#endif

}  // namespace kalvenor
