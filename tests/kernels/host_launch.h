// Runs one host kernel over a batch the way the host-emulated device does,
// keeping the result buffer and the residues for inspection.
#pragma once

#include <cstdint>
#include <ostream>
#include <vector>

#include "kernels/host_kernels.h"
#include "kernels/ifma_kernels.h"
#include "kernels/kernel_args.h"

namespace kalvenor::testing {

struct HostLaunch {
    std::vector<uint32_t> result = std::vector<uint32_t>(kResultWords, 0);
    std::vector<uint32_t> residues;

    // Residue words of slot i.
    const uint32_t* residueOf(size_t slot) const { return residues.data() + slot * kResidueStride; }
};

inline constexpr uint32_t kUntouched = 0xdeadbeefu;

// All of `ks` in one launch of `kernel` at exponent n; residues start as kUntouched.
inline HostLaunch launchOnHost(HostKernelFn kernel, uint32_t n, const std::vector<uint64_t>& ks,
                               bool withResidues = true) {
    HostLaunch launch;
    launch.residues.assign(ks.size() * kResidueStride, kUntouched);
    const KernelArgs args{launch.result.data(), ks.data(), n, static_cast<uint32_t>(ks.size()),
                          withResidues ? launch.residues.data() : nullptr};
    kernel(args, 0, static_cast<uint32_t>(ks.size()));
    return launch;
}

// The same with the kernel the host-emulated device runs for kKernels[index].
inline HostLaunch launchOnHost(int index, uint32_t n, const std::vector<uint64_t>& ks,
                               bool withResidues = true) {
    return launchOnHost(hostKernel(index), n, ks, withResidues);
}

// The host kernel paths, each of which must agree with GMP on its own.
enum class HostPath { kLimbs, kIfma };

inline const char* nameOf(HostPath path) { return path == HostPath::kLimbs ? "Limbs" : "Ifma"; }
inline void PrintTo(HostPath path, std::ostream* os) { *os << nameOf(path); }

// The kernel of that path, or null where this processor does not run it.
inline HostKernelFn kernelOn(HostPath path, int index) {
    return path == HostPath::kLimbs ? limbKernel(index) : ifmaKernel(index);
}

inline constexpr HostPath kHostPaths[] = {HostPath::kLimbs, HostPath::kIfma};

// Multipliers held in the records of a result buffer (at most three).
inline std::vector<uint64_t> recordedMultipliers(const std::vector<uint32_t>& result) {
    std::vector<uint64_t> ks;
    for (uint32_t r = 0; r < result[0] && r < kResultRecords; ++r)
        ks.push_back((uint64_t{result[3 * r + 2]} << 32) | result[3 * r + 1]);
    return ks;
}

}  // namespace kalvenor::testing
