// Shared by the runtime tests: the devices to run on, the buffers one launch
// needs, one call that runs a batch start to finish, and GMP as the oracle.
#pragma once

#include <gmp.h>
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "kernels/kernel_args.h"
#include "kernels/kernel_table.h"
#include "kernels/runtime.h"

namespace kalvenor::testing {

// The host device with the default pool, the host device with an odd number
// of workers (more than this machine may have, so chunks contend), and the
// GPU when this build and machine have one.
enum class Device { Host, HostThreeWorkers, Cuda };

inline std::vector<Device> devicesToTest() {
#if KALVENOR_WITH_CUDA
    return {Device::Host, Device::HostThreeWorkers, Device::Cuda};
#else
    return {Device::Host, Device::HostThreeWorkers};
#endif
}

inline std::string deviceName(Device d) {
    switch (d) {
        case Device::Host: return "Host";
        case Device::HostThreeWorkers: return "HostThreeWorkers";
        case Device::Cuda: return "Cuda";
    }
    return "Unknown";
}

// The runtime for `d`, or null with `why` set when this machine has none.
inline std::unique_ptr<Runtime> makeRuntime(Device d, std::string& why) {
    switch (d) {
        case Device::Host: return makeHostRuntime();
        case Device::HostThreeWorkers: return makeHostRuntime(3);
        case Device::Cuda: {
            RuntimeChoice choice = chooseRuntime(false, 0);
            if (choice.runtime->kind() != RuntimeKind::Cuda) {
                why = choice.whyHost;
                return nullptr;
            }
            return std::move(choice.runtime);
        }
    }
    return nullptr;
}

// ---- GMP oracle ----

class Mpz {
public:
    Mpz() { mpz_init(v_); }
    ~Mpz() { mpz_clear(v_); }
    Mpz(const Mpz&) = delete;
    Mpz& operator=(const Mpz&) = delete;
    mpz_ptr get() { return v_; }

private:
    mpz_t v_;
};

inline void setU64(mpz_ptr z, uint64_t value) {
    mpz_set_ui(z, static_cast<unsigned long>(value >> 32));
    mpz_mul_2exp(z, z, 32);
    mpz_add_ui(z, z, static_cast<unsigned long>(value & 0xffffffffu));
}

// 2^(2^(n-1)) mod (k*2^n+1), as `words` 32-bit words, least significant first.
inline std::vector<uint32_t> gmpResidue(uint64_t k, uint32_t n, uint32_t words) {
    Mpz p, e, two, r;
    setU64(p.get(), k);
    mpz_mul_2exp(p.get(), p.get(), n);
    mpz_add_ui(p.get(), p.get(), 1);
    mpz_set_ui(e.get(), 1);
    mpz_mul_2exp(e.get(), e.get(), n - 1);
    mpz_set_ui(two.get(), 2);
    mpz_powm(r.get(), two.get(), e.get(), p.get());
    std::vector<uint32_t> out(words, 0);
    for (uint32_t i = 0; i < words; ++i) {
        out[i] = static_cast<uint32_t>(mpz_getlimbn(r.get(), 0) & 0xffffffffu);
        mpz_tdiv_q_2exp(r.get(), r.get(), 32);
    }
    return out;
}

// The test every kernel makes: k*2^n+1 is reported exactly when this holds.
inline bool gmpReports(uint64_t k, uint32_t n) {
    const std::vector<uint32_t> r = gmpResidue(k, n, 21);
    if (r[0] != 1) return false;
    for (std::size_t i = 1; i < r.size(); ++i) {
        if (r[i] != 0) return false;
    }
    return true;
}

inline int bitIndex(uint64_t k) { return 63 - __builtin_clzll(k); }

// The kernel whose precondition (k, n) meets, or -1.
inline int servingKernel(uint64_t k, uint32_t n) {
    if (k == 0) return -1;
    const uint32_t words = ((bitIndex(k) + n) >> 5) + 1;
    return kernelIndexOf(n / 32, words);
}

// ---- one launch, start to finish ----

// What came back from a launch: the ten words of the result buffer, the
// guard words placed after it, and the residues when they were asked for.
struct Outcome {
    int launchStatus = 0;
    int syncStatus = 0;
    std::array<uint32_t, kResultWords> words{};
    std::vector<uint32_t> guard;
    std::vector<uint32_t> residues;

    uint32_t count() const { return words[0]; }
    // The records the host may read: at most three.
    std::vector<uint64_t> records() const {
        std::vector<uint64_t> out;
        for (uint32_t r = 0; r < std::min(words[0], kResultRecords); ++r) {
            out.push_back(uint64_t{words[3 * r + 2]} << 32 | words[3 * r + 1]);
        }
        return out;
    }
};

// Device buffers for one test, freed again at the end. The result buffer is
// followed by guard words so that a write past word 9 shows.
class LaunchBench {
public:
    static constexpr uint32_t kGuardWords = 6;
    static constexpr uint32_t kGuardValue = 0xa5a5a5a5u;
    static constexpr uint32_t kResidueSlots = 8192;

    explicit LaunchBench(Runtime& runtime) : rt_(runtime) {}
    ~LaunchBench() {
        rt_.synchronize();
        rt_.freeHost(hostBatch_);
        rt_.freeDevice(deviceBatch_);
        rt_.freeHost(hostResult_);
        rt_.freeDevice(deviceResult_);
        rt_.freeHost(hostResidues_);
        rt_.freeDevice(deviceResidues_);
    }
    LaunchBench(const LaunchBench&) = delete;
    LaunchBench& operator=(const LaunchBench&) = delete;

    // Allocates everything; false (with a test failure) when that fails.
    bool allocate() {
        void* p = nullptr;
        EXPECT_EQ(0, rt_.allocateHost(&p, kBatchCapacity * sizeof(uint64_t)));
        hostBatch_ = static_cast<uint64_t*>(p);
        EXPECT_EQ(0, rt_.allocateDevice(&p, kBatchCapacity * sizeof(uint64_t)));
        deviceBatch_ = static_cast<uint64_t*>(p);
        EXPECT_EQ(0, rt_.allocateHost(&p, resultBytes()));
        hostResult_ = static_cast<uint32_t*>(p);
        EXPECT_EQ(0, rt_.allocateDevice(&p, resultBytes()));
        deviceResult_ = static_cast<uint32_t*>(p);
        EXPECT_EQ(0, rt_.allocateHost(&p, residueBytes()));
        hostResidues_ = static_cast<uint32_t*>(p);
        EXPECT_EQ(0, rt_.allocateDevice(&p, residueBytes()));
        deviceResidues_ = static_cast<uint32_t*>(p);
        return hostBatch_ && deviceBatch_ && hostResult_ && deviceResult_ && hostResidues_ &&
               deviceResidues_;
    }

    // Puts `ks` into device slots from `firstSlot` on, outside any launch:
    // how stale multipliers of an earlier batch are left behind.
    void plant(const std::vector<uint64_t>& ks, uint32_t firstSlot) {
        std::copy(ks.begin(), ks.end(), hostBatch_);
        ASSERT_EQ(0, rt_.copyToDevice(deviceBatch_ + firstSlot, hostBatch_,
                                      ks.size() * sizeof(uint64_t)));
    }

    // Copies `ks` to slots 0.. and launches `kernel` over `gridThreads`
    // threads (0: the batch rounded up to whole blocks of 256) with the batch
    // count `count` (-1: ks.size()), then waits and reads everything back.
    Outcome run(int kernel, uint32_t n, const std::vector<uint64_t>& ks, uint32_t gridThreads = 0,
                bool withResidues = false, int64_t count = -1) {
        Outcome out;
        const uint32_t batchCount = count < 0 ? static_cast<uint32_t>(ks.size())
                                              : static_cast<uint32_t>(count);
        std::fill(hostResult_, hostResult_ + kResultWords, 0u);
        std::fill(hostResult_ + kResultWords, hostResult_ + kResultWords + kGuardWords, kGuardValue);
        EXPECT_EQ(0, rt_.copyToDevice(deviceResult_, hostResult_, resultBytes()));
        if (withResidues) {
            EXPECT_LE(ks.size(), kResidueSlots);
            std::fill(hostResidues_, hostResidues_ + residueBytes() / 4, 0xdeadbeefu);
            EXPECT_EQ(0, rt_.copyToDevice(deviceResidues_, hostResidues_, residueBytes()));
        }
        std::copy(ks.begin(), ks.end(), hostBatch_);
        EXPECT_EQ(0, rt_.copyToDeviceAsync(deviceBatch_, hostBatch_, ks.size() * sizeof(uint64_t)));

        const uint32_t threads = gridThreads != 0
                                     ? gridThreads
                                     : std::max<uint32_t>(256, (batchCount + 255) / 256 * 256);
        const uint32_t block = threads >= 256 ? 256 : threads;
        KernelArgs args{deviceResult_, deviceBatch_, n, batchCount,
                        withResidues ? deviceResidues_ : nullptr};
        out.launchStatus = rt_.launch(kernel, threads / block, block, args);
        out.syncStatus = rt_.synchronize();

        EXPECT_EQ(0, rt_.copyToHost(hostResult_, deviceResult_, resultBytes()));
        std::copy(hostResult_, hostResult_ + kResultWords, out.words.begin());
        out.guard.assign(hostResult_ + kResultWords, hostResult_ + kResultWords + kGuardWords);
        if (withResidues) {
            EXPECT_EQ(0, rt_.copyToHost(hostResidues_, deviceResidues_, residueBytes()));
            out.residues.assign(hostResidues_, hostResidues_ + ks.size() * kResidueStride);
        }
        return out;
    }

    Runtime& runtime() { return rt_; }

private:
    static constexpr std::size_t resultBytes() { return (kResultWords + kGuardWords) * 4; }
    static constexpr std::size_t residueBytes() { return std::size_t{kResidueSlots} * kResidueStride * 4; }

    Runtime& rt_;
    uint64_t* hostBatch_ = nullptr;
    uint64_t* deviceBatch_ = nullptr;
    uint32_t* hostResult_ = nullptr;
    uint32_t* deviceResult_ = nullptr;
    uint32_t* hostResidues_ = nullptr;
    uint32_t* deviceResidues_ = nullptr;
};

// A fixture over the devices: SetUp skips a device this machine lacks.
class OnEachDevice : public ::testing::TestWithParam<Device> {
protected:
    void SetUp() override {
        std::string why;
        runtime_ = makeRuntime(GetParam(), why);
        if (!runtime_) GTEST_SKIP() << deviceName(GetParam()) << " not available: " << why;
        bench_ = std::make_unique<LaunchBench>(*runtime_);
        ASSERT_TRUE(bench_->allocate());
    }
    void TearDown() override {
        bench_.reset();
        runtime_.reset();
    }

    Runtime& runtime() { return *runtime_; }
    LaunchBench& bench() { return *bench_; }

private:
    std::unique_ptr<Runtime> runtime_;
    std::unique_ptr<LaunchBench> bench_;
};

inline std::string deviceParamName(const ::testing::TestParamInfo<Device>& info) {
    return deviceName(info.param);
}

}  // namespace kalvenor::testing
