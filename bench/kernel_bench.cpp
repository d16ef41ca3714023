// Candidates per second of the host kernels, one core, against a plain loop
// over GMP's mpz_powm on the same multipliers: the program a user without a
// GPU would otherwise run. Each size picks k near 2^34, so that P falls in
// the lower level of its window like the multipliers of a real range.
#include <benchmark/benchmark.h>
#include <gmp.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "arith/reference_powmod.h"
#include "kernels/host_kernels.h"
#include "kernels/kernel_args.h"
#include "arith/coverage.h"
#include "kernels/kernel_choice.h"
#include "kernels/kernel_table.h"

namespace kalvenor {
namespace {

constexpr uint64_t kFirstMultiplier = (uint64_t{1} << 34) + 1;
constexpr uint32_t kBatch = 512;

struct Inputs {
    uint32_t n;
    int kernel;
    std::vector<uint64_t> ks;
};

Inputs inputsFor(uint32_t n) {
    Inputs in{n, chooseKernel(n, wordCountOf(n, kFirstMultiplier)).index, {}};
    for (uint32_t i = 0; i < kBatch; ++i) in.ks.push_back(kFirstMultiplier + 2 * i);
    return in;
}

// A host kernel over the whole batch on the calling thread; returns the
// record count so the work cannot be dropped.
uint32_t runKernel(HostKernelFn kernel, const Inputs& in) {
    alignas(64) uint32_t result[kResultBufferWords] = {};  // the checksum word is 64-bit
    const KernelArgs args{result, in.ks.data(), in.n, static_cast<uint32_t>(in.ks.size()), nullptr};
    kernel(args, 0, args.count);
    return result[0];
}

// The kernel the host-emulated device runs.
uint32_t runHostKernel(const Inputs& in) { return runKernel(hostKernel(in.kernel), in); }

// The same batch the plain way: P = k*2^n+1, then 2^(2^(n-1)) mod P.
class GmpLoop {
public:
    GmpLoop() {
        mpz_inits(p_, e_, two_, r_, nullptr);
        mpz_set_ui(two_, 2);
    }
    ~GmpLoop() { mpz_clears(p_, e_, two_, r_, nullptr); }
    GmpLoop(const GmpLoop&) = delete;
    GmpLoop& operator=(const GmpLoop&) = delete;

    uint32_t run(const Inputs& in) {
        mpz_set_ui(e_, 0);
        mpz_setbit(e_, in.n - 1);
        uint32_t factors = 0;
        for (uint64_t k : in.ks) {
            mpz_set_ui(p_, static_cast<unsigned long>(k));
            mpz_mul_2exp(p_, p_, in.n);
            mpz_add_ui(p_, p_, 1);
            mpz_powm(r_, two_, e_, p_);
            factors += mpz_cmp_ui(r_, 1) == 0;
        }
        return factors;
    }

private:
    mpz_t p_, e_, two_, r_;
};

void setRate(benchmark::State& state, const Inputs& in) {
    state.SetLabel(kKernels[static_cast<size_t>(in.kernel)].name);
    state.counters["cand/s"] = benchmark::Counter(static_cast<double>(state.iterations() * in.ks.size()),
                                                  benchmark::Counter::kIsRate);
}

void BM_HostKernel(benchmark::State& state) {
    const Inputs in = inputsFor(static_cast<uint32_t>(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(runHostKernel(in));
    setRate(state, in);
}

// The 64-bit limb kernel, which processors without AVX-512 IFMA run.
void BM_LimbKernel(benchmark::State& state) {
    const Inputs in = inputsFor(static_cast<uint32_t>(state.range(0)));
    const HostKernelFn kernel = limbKernel(in.kernel);
    for (auto _ : state) benchmark::DoNotOptimize(runKernel(kernel, in));
    setRate(state, in);
}

// The AVX2 kernel, which processors with AVX2 but without IFMA run.
void BM_Avx2Kernel(benchmark::State& state) {
    const Inputs in = inputsFor(static_cast<uint32_t>(state.range(0)));
    const HostKernelFn kernel = avx2Kernel(in.kernel);
    if (kernel == nullptr) {
        state.SkipWithError("this processor does not run AVX2");
        return;
    }
    for (auto _ : state) benchmark::DoNotOptimize(runKernel(kernel, in));
    setRate(state, in);
}

void BM_GmpPowm(benchmark::State& state) {
    const Inputs in = inputsFor(static_cast<uint32_t>(state.range(0)));
    GmpLoop gmp;
    for (auto _ : state) benchmark::DoNotOptimize(gmp.run(in));
    setRate(state, in);
}

// Both on the same batch in turn, so that a busy machine slows both alike;
// the ratio is the host kernel's speed over GMP's.
void BM_HostOverGmp(benchmark::State& state) {
    const Inputs in = inputsFor(static_cast<uint32_t>(state.range(0)));
    GmpLoop gmp;
    double hostSeconds = 0;
    double gmpSeconds = 0;
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(runHostKernel(in));
        const auto t1 = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(gmp.run(in));
        const auto t2 = std::chrono::steady_clock::now();
        hostSeconds += std::chrono::duration<double>(t1 - t0).count();
        gmpSeconds += std::chrono::duration<double>(t2 - t1).count();
    }
    const double tested = static_cast<double>(state.iterations() * in.ks.size());
    state.SetLabel(std::string(kKernels[static_cast<size_t>(in.kernel)].name) + " on " + hostKernelPath());
    state.counters["host_cand/s"] = tested / hostSeconds;
    state.counters["gmp_cand/s"] = tested / gmpSeconds;
    state.counters["ratio"] = gmpSeconds / hostSeconds;
}

// What the host spends per batch on checking it: the checked slot's residue
// recomputed with the independent reference. Against the time a batch takes
// (docs/checks-cost.md), it is the checks' share of a run.
void BM_ReferenceResidue(benchmark::State& state) {
    const Inputs in = inputsFor(static_cast<uint32_t>(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(referenceResidue(in.ks[0], in.n));
    state.SetLabel(kKernels[static_cast<size_t>(in.kernel)].name);
}

#define KALVENOR_SIZES Arg(36)->Arg(120)->Arg(300)->Arg(600)
BENCHMARK(BM_HostKernel)->KALVENOR_SIZES;
BENCHMARK(BM_LimbKernel)->KALVENOR_SIZES;
BENCHMARK(BM_Avx2Kernel)->KALVENOR_SIZES;
BENCHMARK(BM_GmpPowm)->KALVENOR_SIZES;
BENCHMARK(BM_HostOverGmp)->KALVENOR_SIZES;
BENCHMARK(BM_ReferenceResidue)->KALVENOR_SIZES;

}  // namespace
}  // namespace kalvenor
