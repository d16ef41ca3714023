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
#include "kernels/kernel_table.h"
#include "kernels/lane_slots.h"

namespace kalvenor {

#if KALVENOR_HAS_AVX2_PATH

namespace {

// Groups of four lanes per pass: a narrow modulus has few products per
// column to hide the latency of its carries and of u_k*T, so more groups
// fill the gaps; wide ones have products enough and only spill registers.
// Chosen by measurement (docs/host-paths.md).
constexpr uint32_t groupsFor(uint32_t limbs) { return limbs <= 4 ? 4 : limbs <= 6 ? 3 : 1; }

template <uint32_t Q, uint32_t W>
using Slots = LaneSlots<avx2::LaneStart, avx2::LaneNumbers, avx2::kLanes, avx2::kLimbBits, groupsFor(avx2::LaneStart<Q, W>::N)>;

constexpr std::array<HostKernelFn, kKernelCount> kAvx2Kernels =
    perKernel([]<uint32_t Q, uint32_t W>() -> HostKernelFn { return &Slots<Q, W>::template run<Q, W>; });

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
