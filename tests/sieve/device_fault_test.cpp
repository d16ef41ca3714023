// What the host does when the device's arithmetic goes wrong, on every
// kernel path: one residue with a flipped bit changes the exponent's
// checksum, and stops the run when its slot is the one the batch reports;
// a device that runs only the sieve is caught at its first batch; a factor
// the device made up never reaches factors.txt. Nothing of a faulty batch is
// counted, and no checkpoint moves past the last batch that checked out.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "arith/residue_checksum.h"
#include "kernels/gpu_kernels_on_host.h"
#include "kernels/host_kernels.h"
#include "kernels/kernel_args.h"
#include "sieve/factor_report.h"
#include "sieve/sieve_runner.h"
#include "sieve/small_primes.h"
#include "strike_oracle.h"
#include "support/forwarding_runtime.h"
#include "support/test_support.h"

namespace kalvenor {
namespace {

// A range of F28's factor 25709319373*2^36+1, for kernel 0.
constexpr uint32_t kN = 36;
constexpr uint64_t kFirst = 25709300001ull, kLast = 25709340001ull;
constexpr uint64_t kFactor = 25709319373ull;

enum class Fault {
    None,
    FlipUncheckedSlot,  // a bit of the low 64 of a slot's residue that the batch does not report
    FlipCheckedSlot,    // a bit high in the residue of the slot it reports
    SieveOnly,          // the kernel never runs
    InventedFactor,     // a record of a multiplier of the batch that is no factor
    FlippedRecord,      // the factor's record with a bit of k flipped
    CountTooHigh,       // five counted, one recorded
};

// The host device running one kernel path itself, in order, and spoiling
// the batch that holds F28's factor (the fourth) as `fault` says; every
// other call goes to the host device.
class FaultyDevice : public testing::ForwardingRuntime {
public:
    FaultyDevice(HostKernelFn (*path)(int), Fault fault) : ForwardingRuntime(makeHostRuntime(1)), path_(path), fault_(fault) {}

    uint64_t faultyBatchStart = 0;  // the first multiplier of the spoiled batch

    int launch(int index, uint32_t blocks, uint32_t threads, const KernelArgs& args, int) override {
        ForwardingRuntime::synchronize();  // a sieve the host device runs on its workers
        KernelArgs a = args;
        if (a.deviceCount != nullptr) a.count = std::min(a.count, *a.deviceCount), a.deviceCount = nullptr;
        a.count = static_cast<uint32_t>(std::min<uint64_t>(a.count, uint64_t{blocks} * threads));
        bool spoiled = false;
        for (uint32_t i = 0; i < a.count && faultyBatchStart == 0 && !spoiled; ++i) spoiled = candidateOf(a, i) == kFactor;
        if (spoiled) faultyBatchStart = candidateOf(a, 0);
        if (spoiled && fault_ == Fault::SieveOnly) return 0;
        path_(index)(a, 0, a.count);
        if (spoiled) spoil(index, a);
        return 0;
    }

private:
    // The residue of slot s as the path computes it, with one bit flipped,
    // stands in for the right one: in the checksum, and where the batch
    // reports it.
    void flip(int index, const KernelArgs& a, uint32_t s, uint32_t bit) {
        const uint64_t k = candidateOf(a, s);
        alignas(64) uint32_t result[kResultBufferWords] = {};
        std::vector<uint32_t> residue(kResidueStride, 0);
        path_(index)(KernelArgs{result, &k, a.n, 1, residue.data()}, 0, 1);
        const uint64_t right = uint64_t{residue[1]} << 32 | residue[0];
        residue[bit / 32] ^= 1u << (bit % 32);
        const uint64_t wrong = uint64_t{residue[1]} << 32 | residue[0];
        uint64_t sum = uint64_t{a.result[kChecksumWord + 1]} << 32 | a.result[kChecksumWord];
        sum += checksumTerm(k, a.n, wrong) - checksumTerm(k, a.n, right);
        a.result[kChecksumWord] = static_cast<uint32_t>(sum);
        a.result[kChecksumWord + 1] = static_cast<uint32_t>(sum >> 32);
        if (s == checkedSlot(a.checkSeed, a.count)) a.result[kCheckedResidueWord + bit / 32] ^= 1u << (bit % 32);
    }

    void spoil(int index, const KernelArgs& a) {
        const uint32_t checked = checkedSlot(a.checkSeed, a.count);
        uint32_t* r = a.result;
        switch (fault_) {
            case Fault::FlipUncheckedSlot: return flip(index, a, (checked + 1) % a.count, 37);
            case Fault::FlipCheckedSlot: return flip(index, a, checked, 70);
            case Fault::InventedFactor: {
                const uint64_t k = candidateOf(a, candidateOf(a, checked) == kFactor ? (checked + 1) % a.count : checked);
                r[3 * r[0] + 1] = static_cast<uint32_t>(k), r[3 * r[0] + 2] = static_cast<uint32_t>(k >> 32), ++r[0];
                return;
            }
            case Fault::FlippedRecord: r[1] ^= 4; return;
            case Fault::CountTooHigh: r[0] += 4; return;
            default: return;
        }
    }

    HostKernelFn (*path_)(int);
    Fault fault_;
};

struct Outcome {
    SieveStatus status;
    RunState state;
    std::vector<uint64_t> checkpoints;
    std::string out, results, factors;
    uint64_t faultyBatchStart;
};

// The range in batches of 1024 from segments of 3000, a checkpoint due after every batch.
Outcome runOn(HostKernelFn (*path)(int), Fault fault) {
    testing::ScratchDir dir;  // results.txt and factors.txt land here
    FaultyDevice device(path, fault);
    std::vector<TransferBuffers> slots(2);
    for (TransferBuffers& b : slots) EXPECT_EQ(0, allocateTransferBuffers(device, b, 1024));
    ThreadPool workers(2);
    const SieveSettings settings{0, 1024, 3000};
    const std::vector<uint32_t> primes = *buildSmallPrimes(1000);
    Outcome o{SieveStatus::Done, {}, {}, {}, {}, {}, 0};
    o.state.nCurrent = kN;
    SieveHooks hooks = defaultSieveHooks();
    int64_t now = 0;
    hooks.clockSeconds = [&now] { return now += 61; };
    hooks.checkpoint = [&o](RunState&, uint64_t k) { o.checkpoints.push_back(k); };
    ::testing::internal::CaptureStdout();
    o.status = runSieve(kFirst, kLast, o.state, SieveContext{device, slots, workers, settings, primes, nullptr, "faulty device"}, hooks);
    o.out = ::testing::internal::GetCapturedStdout();
    for (TransferBuffers& b : slots) releaseTransferBuffers(device, b);
    o.results = testing::readFile("results.txt");
    o.factors = testing::readFile("factors.txt");
    o.faultyBatchStart = device.faultyBatchStart;
    return o;
}

struct Path {
    const char* name;
    HostKernelFn (*kernel)(int);
};

TEST(DeviceFault, IsCaughtAndCountsNothingOnEveryKernelPath) {
    const Path paths[] = {{"GPU kernels' code", &gpuKernelOnHost}, {"64-bit limbs", &limbKernel}, {"AVX2", &avx2Kernel},
                          {"AVX-512 IFMA", &ifmaKernel}};
    const std::vector<uint64_t> survivors = testing::survivors(kFirst, kLast, kN, *buildSmallPrimes(1000));
    for (const Path& path : paths) {
        SCOPED_TRACE(path.name);
        if (path.kernel(0) == nullptr) continue;  // not on this processor
        const Outcome clean = runOn(path.kernel, Fault::None);
        ASSERT_EQ(clean.status, SieveStatus::Done) << clean.out;
        EXPECT_EQ(clean.state.kTested, survivors.size());
        EXPECT_EQ(clean.state.found, (std::vector<FoundFactor>{{kN, kFactor}}));

        // A wrong residue that no batch reports passes the run's own checks,
        // but not a comparison of checksums.
        const Outcome unseen = runOn(path.kernel, Fault::FlipUncheckedSlot);
        EXPECT_EQ(unseen.status, SieveStatus::Done) << unseen.out;
        EXPECT_EQ(unseen.state.kTested, clean.state.kTested);
        EXPECT_NE(unseen.state.checksum, clean.state.checksum);

        struct Caught {
            Fault fault;
            const char* what;
        };
        const Caught caught[] = {
            {Fault::FlipCheckedSlot, "its residue differs from the one the host computes"},
            {Fault::SieveOnly, "the launch reported no residue for its checked slot"},
            {Fault::InventedFactor, "the device reported it as a factor, and the host test rejects it"},
            {Fault::FlippedRecord, "the device reported a factor that is not a multiplier of the batch"},
            {Fault::CountTooHigh, "the device counted 5 factors in the batch, the host test finds 1"},
        };
        for (const Caught& c : caught) {
            SCOPED_TRACE(c.what);
            const Outcome o = runOn(path.kernel, c.fault);
            EXPECT_EQ(o.status, SieveStatus::DeviceFault);
            ASSERT_NE(o.faultyBatchStart, 0u) << "the fault was never made";
            // Counted: exactly the batches before the faulty one.
            const auto before = std::lower_bound(survivors.begin(), survivors.end(), o.faultyBatchStart) - survivors.begin();
            EXPECT_EQ(o.state.kTested, static_cast<uint64_t>(before));
            for (uint64_t k : o.checkpoints) EXPECT_LE(k, o.faultyBatchStart);
            EXPECT_NE(o.out.find("\nERROR: n=36: device arithmetic fault at k="), std::string::npos) << o.out;
            EXPECT_NE(o.out.find("(kernel kalvenor96bit_n32_63, device faulty device): " + std::string(c.what)), std::string::npos) << o.out;
            EXPECT_NE(o.results.find("n=36: device arithmetic fault at k="), std::string::npos) << o.results;
            // F28's factor is in the faulty batch: neither it nor anything else reached factors.txt.
            EXPECT_EQ(o.factors, "");
            EXPECT_TRUE(o.state.found.empty());
        }
    }
}

}  // namespace
}  // namespace kalvenor
