// Odd multipliers per second through the host sieve, one segment of the
// host device's size at a time, for a few sieve depths.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "device/cpu_info.h"
#include "sieve/segment_sieve.h"
#include "sieve/small_primes.h"

namespace kalvenor {
namespace {

void BM_SegmentSieve(benchmark::State& state) {
    const uint32_t primeCount = static_cast<uint32_t>(state.range(0));
    const uint32_t threads = static_cast<uint32_t>(state.range(1));
    const std::vector<uint32_t> primes = *buildSmallPrimes(primeCount);
    const uint32_t range = static_cast<uint32_t>(sieveRangeFor(primeCount, threads));
    ThreadPool workers(hardwareThreads());
    SegmentSieve sieve(primes, 36, range, workers);
    uint64_t kSeg = (uint64_t{1} << 34) + 1;
    for (auto _ : state) {
        sieve.sieve(kSeg, range);
        benchmark::DoNotOptimize(sieve.bytes()[range / 2]);
        kSeg += 2ull * range;
    }
    state.counters["k/s"] = benchmark::Counter(static_cast<double>(state.iterations()) * range,
                                               benchmark::Counter::kIsRate);
}

BENCHMARK(BM_SegmentSieve)
    ->ArgNames({"primes", "threads"})
    ->Args({20000, 1 << 18})
    ->Args({200000, 1 << 18})
    ->Args({500000, 1 << 18})
    ->Args({1000000, 1 << 18})
    ->Args({3000000, 1 << 18})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kalvenor
