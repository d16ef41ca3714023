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
#include "kernels/kernel_table.h"
#include "kernels/lane_slots.h"

namespace kalvenor {

#if KALVENOR_HAS_IFMA_PATH

namespace {

// Groups of eight lanes per pass: narrow moduli have short columns whose
// carries leave the multipliers idle, so more groups fill the gaps; at 13
// limbs a second group no longer fits the 32 vector registers. Chosen by
// measurement (docs/launch-tuning.md).
constexpr uint32_t groupsFor(uint32_t limbs) { return limbs <= 4 ? 4 : limbs <= 12 ? 2 : 1; }

template <uint32_t Q, uint32_t W>
using Slots = LaneSlots<ifma::LaneStart, ifma::LaneNumbers, ifma::kLanes, ifma::kLimbBits, groupsFor(ifma::LaneStart<Q, W>::N)>;

constexpr std::array<HostKernelFn, kKernelCount> kIfmaKernels =
    perKernel([]<uint32_t Q, uint32_t W>() -> HostKernelFn { return &Slots<Q, W>::template run<Q, W>; });

}  // namespace

bool ifmaUsable() {
    static const bool usable = [] {
        __builtin_cpu_init();
        // Every processor with IFMA has DQ too; the checksum's 64-bit products use it.
        return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512ifma");
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
