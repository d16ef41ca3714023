// The kernels on AVX2. Only the squaring loop runs those instructions (it
// carries the target attribute); everything here is built for the baseline
// processor, and hostKernel() hands these out only after asking the
// processor.
#if defined(__GNUC__) && !defined(__clang__) && !defined(__OPTIMIZE__)
#pragma GCC optimize("O2")
#endif

#include "kernels/host_kernels.h"

#include <array>

#include "arith/montgomery_avx2.h"
#include "kernels/kernel_slot.h"
#include "kernels/kernel_table.h"
#include "kernels/served_groups.h"

namespace kalvenor {

#if KALVENOR_HAS_AVX2_PATH

namespace {

using avx2::kLanes;
using avx2::LaneNumbers;
using avx2::LaneStart;

// Groups of four lanes per pass: a narrow modulus has few products per
// column to hide the latency of its carries and of u_k*T, so more groups
// fill the gaps; wide ones have products enough and only spill registers.
// Chosen by measurement (docs/host-paths.md).
constexpr uint32_t groupsFor(uint32_t limbs) { return limbs <= 4 ? 4 : limbs <= 6 ? 3 : 1; }

// The exponents of window Q fall in at most two limb positions J = n/28.
template <uint32_t Q, uint32_t W, uint32_t Groups>
void squareAll(const LaneStart<Q, W>* starts, uint32_t n, LaneNumbers<LaneStart<Q, W>::N>* results) {
    constexpr uint32_t kFirstJ = 32 * Q / avx2::kLimbBits;
    constexpr uint32_t kLastJ = (32 * Q + 31) / avx2::kLimbBits;
    static_assert(kLastJ <= kFirstJ + 1);
    if (n / avx2::kLimbBits == kFirstJ) {
        avx2::squareGroups<Q, W, kFirstJ, Groups>(starts, n, results);
    } else {
        avx2::squareGroups<Q, W, kLastJ, Groups>(starts, n, results);
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
            avx2::startLane(starts[i / kLanes], i % kLanes, ks[i < count ? i : 0], args.n);
        squareAll<Q, W, kGroups>(starts, args.n, results);
        for (uint32_t i = 0; i < count; ++i) {
            const LaneNumbers<N>& result = results[i / kLanes];
            KALVENOR_VERIFY_THAT(avx2::laneAtMostModulus(result, i % kLanes, starts[i / kLanes].t,
                                                         args.n / avx2::kLimbBits));
            if (args.residues != nullptr)
                avx2::laneWords(result, i % kLanes, args.residues + slots[i] * kResidueStride, W);
            if (avx2::laneIsOne(result, i % kLanes)) appendRecord(args.result, ks[i]);
        }
    });
}

constexpr std::array<HostKernelFn, kKernelCount> kAvx2Kernels =
    perKernel([]<uint32_t Q, uint32_t W>() -> HostKernelFn { return &runSlots<Q, W>; });

}  // namespace

bool avx2Usable() {
    static const bool usable = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return usable;
}

HostKernelFn avx2Kernel(int index) {
    if (!avx2Usable() || index < 0 || index >= kKernelCount) return nullptr;
    return kAvx2Kernels[static_cast<size_t>(index)];
}

#else

bool avx2Usable() { return false; }
HostKernelFn avx2Kernel(int) { return nullptr; }

#endif

}  // namespace kalvenor
