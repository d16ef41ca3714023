#include "sieve/device_sieve.h"

#include <algorithm>
#include <cinttypes>

#include "common/text_format.h"
#include "device/runtime_error.h"
#include "kernels/launch_limits.h"
#include "kernels/sieve_kernel.h"
#include "sieve/segment_sieve.h"
#include "sieve/small_primes.h"

namespace kalvenor {

double survivingShare(std::span<const uint32_t> primes) {
    double share = 1.0;
    for (uint32_t q : primes) share *= 1.0 - 1.0 / q;
    return share;
}

uint32_t deviceSegmentLength(double share, uint32_t capacity) {
    const double length = 0.9 * capacity / share;
    return static_cast<uint32_t>(std::clamp(length, 1.0, double{kMostSegmentLength}));
}

template <class T>
bool DeviceSieve::allocate(T*& pointer, std::size_t bytes) {
    void* p = nullptr;
    if (KALVENOR_FAILED(runtime_, runtime_.allocateDevice(&p, std::max<std::size_t>(bytes, 1)))) return false;
    allocations_.push_back(p);
    pointer = static_cast<T*>(p);
    return true;
}

DeviceSieve::DeviceSieve(Runtime& runtime, const std::vector<uint32_t>& primes, uint32_t slots, uint32_t length,
                         uint32_t capacity)
    : runtime_(runtime), primes_(primes), length_(length), capacity_(capacity),
      primeCount_(static_cast<uint32_t>(primes.size())) {
    smallCount_ = static_cast<uint32_t>(std::lower_bound(primes.begin(), primes.end(), kSieveWindow) - primes.begin());
    const std::size_t primeBytes = primes.size() * sizeof(uint32_t);
    ok_ = allocate(devicePrimes_, primeBytes) && allocate(deviceClasses_, primeBytes) &&
          !KALVENOR_FAILED(runtime, runtime.copyToDevice(devicePrimes_, primes.data(), primeBytes));
    scratch_.resize(slots);
    for (Scratch& s : scratch_)
        ok_ = ok_ && allocate(s.hits, primeBytes) && allocate(s.bytes, length) &&
              allocate(s.offsets, std::size_t{capacity} * sizeof(uint32_t));
}

uint64_t DeviceSieve::deviceBytes(uint64_t primeCount, uint32_t slots, uint32_t length, uint32_t capacity) {
    const uint64_t primeBytes = primeCount * sizeof(uint32_t);
    return 2 * primeBytes + slots * (primeBytes + length + uint64_t{capacity} * sizeof(uint32_t));
}

bool DeviceSieve::setExponent(uint32_t n, ThreadPool& workers) {
    // With millions of primes this is worth all cores, once per exponent.
    std::vector<uint32_t> classes(primes_.size());
    workers.start(primeCount_, 1u << 14, [&](uint32_t begin, uint32_t end) {
        for (uint32_t i = begin; i < end; ++i) classes[i] = struckClass(primes_[i], n);
    });
    workers.wait();
    return !KALVENOR_FAILED(runtime_, runtime_.copyToDevice(deviceClasses_, classes.data(), classes.size() * sizeof(uint32_t)));
}

DeviceSieve::~DeviceSieve() {
    runtime_.synchronize();  // no queued sieve may still use the memory
    for (void* p : allocations_) KALVENOR_FAILED(runtime_, runtime_.freeDevice(p));
}

int DeviceSieve::submit(uint32_t slot, uint64_t kSeg, uint32_t length, uint32_t* deviceCount, int queue) {
    const Scratch& s = scratch_[slot];
    const GpuSieveArgs args{devicePrimes_, deviceClasses_, primeCount_, smallCount_, kSeg, length, s.hits, s.bytes,
                            s.offsets, capacity_, deviceCount};
    return runtime_.launchSieve(args, queue);
}

std::vector<uint64_t> DeviceSieve::survivorsOf(uint32_t slot, uint64_t kSeg, uint32_t count) {
    std::vector<uint32_t> offsets(std::min(count, capacity_));
    if (KALVENOR_FAILED(runtime_, runtime_.copyToHost(offsets.data(), scratch_[slot].offsets, offsets.size() * sizeof(uint32_t))))
        return {};
    std::sort(offsets.begin(), offsets.end());
    std::vector<uint64_t> ks(offsets.size());
    std::transform(offsets.begin(), offsets.end(), ks.begin(), [kSeg](uint32_t j) { return kSeg + 2 * uint64_t{j}; });
    return ks;
}

std::string compareSieves(Runtime& runtime, ThreadPool& workers) {
    // 70,000 primes reach past the block window, so every phase runs.
    const std::optional<std::vector<uint32_t>> primes = buildSmallPrimes(70000);
    if (!primes) return "no table of primes";
    struct Segment {
        uint32_t n;
        uint64_t kSeg;
        uint32_t length;
    };
    const Segment segments[] = {{36, 1, 200001}, {127, 1234567891, 65537}, {600, UINT64_MAX - 2 * 99998, 99999}};
    for (const Segment& g : segments) {
        SegmentSieve host(*primes, g.n, g.length, workers);
        if (!host.allocated()) return "no memory for the host sieve";
        host.sieve(g.kSeg, g.length);
        std::vector<uint64_t> expected;
        for (uint32_t j = 0; j < g.length; ++j)
            if (host.bytes()[j] != 0) expected.push_back(g.kSeg + 2 * uint64_t{j});

        const auto capacity = static_cast<uint32_t>(expected.size());
        DeviceSieve device(runtime, *primes, 1, g.length, capacity);
        uint32_t* count = nullptr;
        void* p = nullptr;
        if (!device.ok() || !device.setExponent(g.n, workers) ||
            KALVENOR_FAILED(runtime, runtime.allocateDevice(&p, sizeof(uint32_t))))
            return "the device sieve could not be set up";
        count = static_cast<uint32_t*>(p);
        uint32_t found = 0;
        // In a queue of the ring's, as a run sieves: the default queue would
        // be ordered after the classes' copy even where the ring's are not.
        const bool ran = !KALVENOR_FAILED(runtime, device.submit(0, g.kSeg, g.length, count, 1)) &&
                         !KALVENOR_FAILED(runtime, runtime.waitQueue(1)) &&
                         !KALVENOR_FAILED(runtime, runtime.copyToHost(&found, count, sizeof found));
        const std::vector<uint64_t> kept = ran ? device.survivorsOf(0, g.kSeg, found) : std::vector<uint64_t>{};
        KALVENOR_FAILED(runtime, runtime.freeDevice(p));
        if (!ran) return "the device sieve did not run";
        if (found != capacity || kept != expected)
            return formatText("n=%u, %u multipliers from k=%" PRIu64 ": the device sieve kept %u, the host sieve %u%s", g.n,
                              g.length, g.kSeg, found, capacity, found == capacity ? ", not the same ones" : "");
    }
    return "";
}

}  // namespace kalvenor
