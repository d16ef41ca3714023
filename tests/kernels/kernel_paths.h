// The ways a kernel runs, each judged against GMP on its own: the
// narrow-limb template the GPU runs, called on the host; the host kernels' three variants
// called directly; the host-emulated device through the runtime interface
// (with three workers, so chunks contend); the strict emulation of an H100,
// which runs the GPU's own code under CUDA's rules; and the GPU where there
// is one.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "device/gpu_profiles.h"
#include "device/runtime.h"
#include "device/transfer_buffers.h"
#include "kernels/gmp_oracle.h"
#include "kernels/gpu_kernels_on_host.h"
#include "kernels/host_kernels.h"
#include "kernels/kernel_args.h"
#include "kernels/kernel_slot.h"
#include "kernels/kernel_table.h"

namespace kalvenor::testing {

enum class Way { Narrow, Limbs, Avx2, Ifma, HostDevice, EmulatedGpu, Cuda };
inline const char* nameOf(Way way) {
    return std::vector{"Narrow", "Limbs", "Avx2", "Ifma", "HostDevice", "EmulatedGpu", "Cuda"}[static_cast<std::size_t>(way)];
}
inline std::string wayName(const ::testing::TestParamInfo<Way>& info) { return nameOf(info.param); }
inline const std::vector<Way> kAllWays = {Way::Narrow, Way::Limbs, Way::Avx2, Way::Ifma, Way::HostDevice, Way::EmulatedGpu, Way::Cuda};
inline const std::vector<Way> kDevices = {Way::HostDevice, Way::EmulatedGpu, Way::Cuda};

// The GPU's template as a host kernel: one slot after the other.
inline HostKernelFn narrowKernel(int index) { return gpuKernelOnHost(index); }

inline constexpr uint32_t kUntouched = 0xdeadbeefu;  // every residue word before a launch
inline constexpr uint32_t kGuard = 0xa5a5a5a5u;      // the result buffer's words past word 9

// What came back from a launch: the whole result buffer and the residues.
struct Outcome {
    int status = 0;
    std::vector<uint32_t> words = std::vector<uint32_t>(kResultBufferWords, 0);
    std::vector<uint32_t> residues;

    uint32_t count() const { return words[0]; }
    uint64_t checksum() const { return uint64_t{words[kChecksumWord + 1]} << 32 | words[kChecksumWord]; }
    // The slot the launch reported as checked, or -1, with its multiplier and residue.
    int64_t checkedSlot() const { return static_cast<int64_t>(words[kCheckedSlotWord]) - 1; }
    uint64_t checkedK() const { return uint64_t{words[kCheckedKWord + 1]} << 32 | words[kCheckedKWord]; }
    std::vector<uint32_t> checkedResidue(uint32_t w) const {
        return {words.begin() + kCheckedResidueWord, words.begin() + kCheckedResidueWord + w};
    }
    std::vector<uint64_t> records() const {  // the ones the host may read: at most three
        std::vector<uint64_t> out;
        for (uint32_t r = 0; r < std::min(words[0], kResultRecords); ++r) out.push_back(uint64_t{words[3 * r + 2]} << 32 | words[3 * r + 1]);
        return out;
    }
    std::vector<uint32_t> residue(std::size_t slot) const {
        return {residues.begin() + static_cast<std::ptrdiff_t>(slot * kResidueStride),
                residues.begin() + static_cast<std::ptrdiff_t>((slot + 1) * kResidueStride)};
    }
};

inline Way wayOf(Way way) { return way; }
inline Way wayOf(const std::tuple<int, Way>& param) { return std::get<1>(param); }

// A fixture over the ways (alone, or with a kernel index): SetUp skips a way
// this machine lacks and gives a device the buffers of a full launch.
template <class Param>
class OnWay : public ::testing::TestWithParam<Param> {
protected:
    void SetUp() override {
        way_ = wayOf(this->GetParam());
        direct_ = way_ == Way::Narrow ? narrowKernel(0) : way_ == Way::Limbs ? limbKernel(0) : way_ == Way::Avx2 ? avx2Kernel(0) : ifmaKernel(0);
        if (way_ == Way::EmulatedGpu) {
            runtime_ = makeEmulatedGpuRuntime(*findGpuProfile("h100"), 3);
        } else if (way_ == Way::Cuda) {
            RuntimeChoice choice = chooseRuntime(false, 0);
            if (choice.runtime->kind() != RuntimeKind::Cuda) GTEST_SKIP() << "no GPU: " << choice.whyHost;
            runtime_ = std::move(choice.runtime);
        } else if (way_ == Way::HostDevice) {
            runtime_ = makeHostRuntime(3);
        } else if (direct_ == nullptr) {
            GTEST_SKIP() << "this processor does not run the path";
        }
        ASSERT_TRUE(!runtime_ || allocateTransferBuffers(*runtime_, buffers_, kBatchCapacity, true) == 0);
    }
    void TearDown() override { EXPECT_TRUE(!runtime_ || releaseTransferBuffers(*runtime_, buffers_) == 0); }

    // ks in one launch of kernel `index` at n over `gridThreads` threads (0:
    // the batch in whole blocks), reporting the residue of the slot `seed`
    // picks; the result buffer's spare words hold kGuard.
    Outcome launch(int index, uint32_t n, const std::vector<uint64_t>& ks, bool withResidues = true, uint32_t gridThreads = 0,
                   uint32_t seed = 0) {
        Outcome out;
        const auto count = static_cast<uint32_t>(ks.size());
        std::fill(out.words.begin() + kResultWords, out.words.end(), kGuard);
        out.residues.assign(withResidues ? ks.size() * kResidueStride : 0, kUntouched);
        if (!runtime_) {
            const HostKernelFn kernel = way_ == Way::Narrow ? narrowKernel(index)
                                        : way_ == Way::Limbs ? limbKernel(index) : way_ == Way::Avx2 ? avx2Kernel(index) : ifmaKernel(index);
            kernel(KernelArgs{out.words.data(), ks.data(), n, count, withResidues ? out.residues.data() : nullptr, nullptr, 0,
                              nullptr, seed},
                   0, count);
            return out;
        }
        TransferBuffers b = buffers_;
        if (!withResidues) b.hostResidues = b.deviceResidues = nullptr;
        std::copy(out.words.begin(), out.words.end(), b.hostResult);
        std::copy(out.residues.begin(), out.residues.end(), b.hostResidues);
        std::copy(ks.begin(), ks.end(), b.hostBatch);
        EXPECT_EQ(0, runtime_->copyToDevice(b.deviceResult, b.hostResult, kResultBufferWords * 4));
        EXPECT_EQ(0, withResidues ? runtime_->copyToDevice(b.deviceResidues, b.hostResidues, out.residues.size() * 4) : 0);
        const uint32_t threads = gridThreads != 0 ? gridThreads : std::max<uint32_t>(1, (count + 255) / 256) * 256;
        out.status = runBatch(*runtime_, b, index, threads / kThreadsPerBlock, n, count, seed).code;
        out.words.assign(b.hostResult, b.hostResult + kResultBufferWords);
        if (withResidues) out.residues.assign(b.hostResidues, b.hostResidues + out.residues.size());
        return out;
    }

    // Puts `ks` into the device's slots from `firstSlot` on, outside any
    // launch: how stale multipliers of an earlier batch are left behind.
    void plant(const std::vector<uint64_t>& ks, uint32_t firstSlot) {
        std::copy(ks.begin(), ks.end(), buffers_.hostBatch);
        ASSERT_EQ(0, runtime_->copyToDevice(buffers_.deviceBatch + firstSlot, buffers_.hostBatch, ks.size() * 8));
    }

    Runtime& runtime() { return *runtime_; }

private:
    Way way_ = Way::HostDevice;
    HostKernelFn direct_ = nullptr;
    std::unique_ptr<Runtime> runtime_;
    TransferBuffers buffers_;
};

// Words of the records that no record holds stay zero, the checked slot's
// report is whole or absent, and nothing is written past word 35.
inline void expectUnusedWordsUntouched(const Outcome& out, uint32_t w) {
    for (uint32_t i = 1; i < kChecksumWord; ++i)
        EXPECT_TRUE(out.words[i] == 0 || (i % 3 != 0 && (i - 1) / 3 < std::min(out.count(), kResultRecords))) << "word " << i;
    const bool reported = out.words[kCheckedSlotWord] != 0;
    for (uint32_t i = kCheckedKWord + 2; i < kResultWords; ++i) {
        if (!reported || i >= kCheckedResidueWord + w) {
            EXPECT_EQ(out.words[i], 0u) << "word " << i;
        }
    }
    for (uint32_t i = kResultWords; i < kResultBufferWords; ++i) EXPECT_EQ(kGuard, out.words[i]) << "written past word 35";
}

}  // namespace kalvenor::testing
