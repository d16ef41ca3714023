// Shared by the launch tests: the ways a kernel runs (a host path called
// directly, or a device through the runtime interface), the buffers one
// launch needs, and what comes back from it.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "kernels/gmp_support.h"
#include "kernels/host_kernels.h"
#include "kernels/ifma_kernels.h"
#include "kernels/kernel_args.h"
#include "kernels/kernel_table.h"
#include "kernels/runtime.h"

namespace kalvenor::testing {

// Each host kernel path, which must agree with GMP on its own; the host
// device with the default pool and with an odd number of workers (more than
// this machine may have, so chunks contend); and the GPU.
enum class Way { Limbs, Ifma, Host, HostThreeWorkers, Cuda };

inline const char* nameOf(Way way) {
    constexpr const char* kNames[] = {"Limbs", "Ifma", "Host", "HostThreeWorkers", "Cuda"};
    return kNames[static_cast<int>(way)];
}
inline void PrintTo(Way way, std::ostream* os) { *os << nameOf(way); }
inline bool isHostPath(Way way) { return way == Way::Limbs || way == Way::Ifma; }

inline std::vector<Way> devicesToTest() {
#if KALVENOR_WITH_CUDA
    return {Way::Host, Way::HostThreeWorkers, Way::Cuda};
#else
    return {Way::Host, Way::HostThreeWorkers};
#endif
}
inline std::vector<Way> waysToTest() {
    std::vector<Way> ways = {Way::Limbs, Way::Ifma};
    for (Way d : devicesToTest()) ways.push_back(d);
    return ways;
}

// The kernel of a host path, or null where this processor does not run it.
inline HostKernelFn kernelOn(Way path, int index) {
    return path == Way::Limbs ? limbKernel(index) : ifmaKernel(index);
}

inline int bitIndex(uint64_t k) { return 63 - __builtin_clzll(k); }

// The kernel whose precondition (k, n) meets, or -1.
inline int servingKernel(uint64_t k, uint32_t n) {
    if (k == 0) return -1;
    return kernelIndexOf(n / 32, ((bitIndex(k) + n) >> 5) + 1);
}

inline constexpr uint32_t kUntouched = 0xdeadbeefu;  // every residue word before a launch

// What came back from a launch: the ten words of the result buffer, the
// guard words placed after it, and the residues when they were asked for.
struct Outcome {
    int launchStatus = 0;
    int syncStatus = 0;
    std::vector<uint32_t> words = std::vector<uint32_t>(kResultWords, 0);
    std::vector<uint32_t> guard;
    std::vector<uint32_t> residues;

    uint32_t count() const { return words[0]; }
    // The records the host may read: at most three.
    std::vector<uint64_t> records() const {
        std::vector<uint64_t> out;
        for (uint32_t r = 0; r < std::min(words[0], kResultRecords); ++r)
            out.push_back(uint64_t{words[3 * r + 2]} << 32 | words[3 * r + 1]);
        return out;
    }
    // All kResidueStride words of slot i.
    std::vector<uint32_t> residue(std::size_t slot) const {
        const auto first = residues.begin() + static_cast<std::ptrdiff_t>(slot * kResidueStride);
        return {first, first + kResidueStride};
    }
};

// All of `ks` in one call of a host kernel at exponent n, as one worker of
// the host device runs it, with the residues kept.
inline Outcome launchOnHost(HostKernelFn kernel, uint32_t n, const std::vector<uint64_t>& ks) {
    Outcome out;
    out.residues.assign(ks.size() * kResidueStride, kUntouched);
    kernel(KernelArgs{out.words.data(), ks.data(), n, static_cast<uint32_t>(ks.size()), out.residues.data()}, 0,
           static_cast<uint32_t>(ks.size()));
    return out;
}

inline constexpr uint32_t kGuardWords = 6;
inline constexpr uint32_t kGuardValue = 0xa5a5a5a5u;

// Words of the result buffer that no record holds stay zero, and nothing is
// written past word 9.
inline void expectUnusedWordsZero(const Outcome& out) {
    for (uint32_t i = 1; i < kResultWords; ++i) {
        if (i % 3 == 0 || (i - 1) / 3 >= std::min(out.count(), kResultRecords)) {
            EXPECT_EQ(0u, out.words[i]) << "word " << i;
        }
    }
    for (uint32_t g : out.guard) EXPECT_EQ(kGuardValue, g) << "written past word 9";
}

inline Way wayOf(Way way) { return way; }
inline Way wayOf(const std::tuple<int, Way>& param) { return std::get<1>(param); }

// A fixture over the ways (alone, or with a kernel index): SetUp skips a way
// this machine lacks, and gives a device the buffers one launch needs, freed
// again at the end. The result buffer is followed by guard words so that a
// write past word 9 shows.
template <class Param>
class OnWay : public ::testing::TestWithParam<Param> {
protected:
    static constexpr uint32_t kResidueSlots = 8192;

    void SetUp() override {
        way_ = wayOf(this->GetParam());
        if (isHostPath(way_)) {
            if (kernelOn(way_, 0) == nullptr) GTEST_SKIP() << "this processor does not run the path";
            return;
        }
        if (way_ == Way::Cuda) {
            RuntimeChoice choice = chooseRuntime(false, 0);
            if (choice.runtime->kind() != RuntimeKind::Cuda) GTEST_SKIP() << "no GPU: " << choice.whyHost;
            runtime_ = std::move(choice.runtime);
        } else {
            runtime_ = makeHostRuntime(way_ == Way::Host ? 0 : 3);
        }
        ASSERT_TRUE(allocatePair(hostBatch_, deviceBatch_, kBatchCapacity * sizeof(uint64_t)) &&
                    allocatePair(hostResult_, deviceResult_, resultBytes()) &&
                    allocatePair(hostResidues_, deviceResidues_, residueBytes()));
    }
    void TearDown() override {
        if (!runtime_) return;
        runtime_->synchronize();
        for (void* p : {static_cast<void*>(hostBatch_), static_cast<void*>(hostResult_), static_cast<void*>(hostResidues_)})
            runtime_->freeHost(p);
        for (void* p : {static_cast<void*>(deviceBatch_), static_cast<void*>(deviceResult_), static_cast<void*>(deviceResidues_)})
            runtime_->freeDevice(p);
    }

    // ks in one launch of kernel `index` at n with the residues kept: the
    // host path's kernel called directly, or through the device's runtime.
    Outcome launch(int index, uint32_t n, const std::vector<uint64_t>& ks) {
        return runtime_ ? run(index, n, ks, 0, true) : launchOnHost(kernelOn(way_, index), n, ks);
    }

    // Puts `ks` into device slots from `firstSlot` on, outside any launch:
    // how stale multipliers of an earlier batch are left behind.
    void plant(const std::vector<uint64_t>& ks, uint32_t firstSlot) {
        std::copy(ks.begin(), ks.end(), hostBatch_);
        ASSERT_EQ(0, runtime_->copyToDevice(deviceBatch_ + firstSlot, hostBatch_, ks.size() * sizeof(uint64_t)));
    }

    // Copies `ks` to device slots 0.. and launches `kernel` over `gridThreads`
    // threads (0: the batch rounded up to whole blocks of 256), then waits
    // and reads everything back.
    Outcome run(int kernel, uint32_t n, const std::vector<uint64_t>& ks, uint32_t gridThreads = 0,
                bool withResidues = false) {
        Runtime& rt = *runtime_;
        Outcome out;
        const auto count = static_cast<uint32_t>(ks.size());
        std::fill(hostResult_, hostResult_ + kResultWords, 0u);
        std::fill(hostResult_ + kResultWords, hostResult_ + kResultWords + kGuardWords, kGuardValue);
        EXPECT_EQ(0, rt.copyToDevice(deviceResult_, hostResult_, resultBytes()));
        if (withResidues) {
            EXPECT_LE(ks.size(), kResidueSlots);
            std::fill(hostResidues_, hostResidues_ + residueBytes() / 4, kUntouched);
            EXPECT_EQ(0, rt.copyToDevice(deviceResidues_, hostResidues_, residueBytes()));
        }
        std::copy(ks.begin(), ks.end(), hostBatch_);
        EXPECT_EQ(0, rt.copyToDeviceAsync(deviceBatch_, hostBatch_, ks.size() * sizeof(uint64_t)));

        const uint32_t threads = gridThreads != 0 ? gridThreads : std::max<uint32_t>(256, (count + 255) / 256 * 256);
        const uint32_t block = std::min<uint32_t>(threads, 256);
        const KernelArgs args{deviceResult_, deviceBatch_, n, count, withResidues ? deviceResidues_ : nullptr};
        out.launchStatus = rt.launch(kernel, threads / block, block, args);
        out.syncStatus = rt.synchronize();

        EXPECT_EQ(0, rt.copyToHost(hostResult_, deviceResult_, resultBytes()));
        out.words.assign(hostResult_, hostResult_ + kResultWords);
        out.guard.assign(hostResult_ + kResultWords, hostResult_ + kResultWords + kGuardWords);
        if (withResidues) {
            EXPECT_EQ(0, rt.copyToHost(hostResidues_, deviceResidues_, residueBytes()));
            out.residues.assign(hostResidues_, hostResidues_ + ks.size() * kResidueStride);
        }
        return out;
    }

    Runtime& runtime() { return *runtime_; }

private:
    static constexpr std::size_t resultBytes() { return (kResultWords + kGuardWords) * 4; }
    static constexpr std::size_t residueBytes() { return std::size_t{kResidueSlots} * kResidueStride * 4; }

    template <class T>
    bool allocatePair(T*& host, T*& device, std::size_t bytes) {
        void* h = nullptr;
        void* d = nullptr;
        EXPECT_EQ(0, runtime_->allocateHost(&h, bytes));
        EXPECT_EQ(0, runtime_->allocateDevice(&d, bytes));
        host = static_cast<T*>(h);
        device = static_cast<T*>(d);
        return host != nullptr && device != nullptr;
    }

    Way way_ = Way::Host;
    std::unique_ptr<Runtime> runtime_;
    uint64_t* hostBatch_ = nullptr;
    uint64_t* deviceBatch_ = nullptr;
    uint32_t* hostResult_ = nullptr;
    uint32_t* deviceResult_ = nullptr;
    uint32_t* hostResidues_ = nullptr;
    uint32_t* deviceResidues_ = nullptr;
};

using OnEachDevice = OnWay<Way>;

inline std::string wayParamName(const ::testing::TestParamInfo<Way>& info) { return nameOf(info.param); }

}  // namespace kalvenor::testing
