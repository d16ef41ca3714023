// The sieve that runs on the device (kernels/sieve_kernel.h), seen from the
// host: the primes and the scratch of each ring slot, set up once per
// assignment, the classes the primes strike, once per exponent, and the
// check that it keeps exactly what the host sieve keeps.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "device/runtime.h"
#include "device/thread_pool.h"

namespace kalvenor {

// The share of odd multipliers that none of `primes` strikes: the product of (1-1/q).
double survivingShare(std::span<const uint32_t> primes);

// Odd multipliers per device-sieved segment for batches of `capacity` when
// a share `share` survives: a segment of 0.9*capacity/share leaves a batch
// that rarely overflows.
uint32_t deviceSegmentLength(double share, uint32_t capacity);

class DeviceSieve {
public:
    // Puts the primes on the device, with scratch for `slots` segments of at
    // most `length` multipliers and `capacity` survivors each, once for all
    // the exponents of an assignment. ok() says whether every allocation and
    // copy worked (failures are reported). `primes` must outlive the sieve.
    DeviceSieve(Runtime& runtime, const std::vector<uint32_t>& primes, uint32_t slots, uint32_t length, uint32_t capacity);
    DeviceSieve(Runtime&, std::vector<uint32_t>&&, uint32_t, uint32_t, uint32_t) = delete;
    ~DeviceSieve();
    DeviceSieve(const DeviceSieve&) = delete;
    DeviceSieve& operator=(const DeviceSieve&) = delete;

    // The device memory a sieve of these sizes takes, all slots together.
    static uint64_t deviceBytes(uint64_t primeCount, uint32_t slots, uint32_t length, uint32_t capacity);

    bool ok() const { return ok_; }
    uint32_t slots() const { return static_cast<uint32_t>(scratch_.size()); }
    uint32_t length() const { return length_; }
    uint32_t capacity() const { return capacity_; }

    // The classes the primes strike at exponent n, computed on `workers` and
    // put on the device; false (reported) when the copy failed.
    bool setExponent(uint32_t n, ThreadPool& workers);

    // Queues the sieve of `length` multipliers from kSeg (odd; the last one
    // below 2^64) in `queue`, with slot's scratch; the survivors' count goes
    // to deviceCount, their offsets to offsets(slot), in no particular order.
    int submit(uint32_t slot, uint64_t kSeg, uint32_t length, uint32_t* deviceCount, int queue);
    const uint32_t* offsets(uint32_t slot) const { return scratch_[slot].offsets; }

    // The multipliers behind the first `count` offsets of slot's batch, in
    // ascending order, read back once the slot's queue is done; empty when
    // the copy failed (reported).
    std::vector<uint64_t> survivorsOf(uint32_t slot, uint64_t kSeg, uint32_t count);

private:
    struct Scratch {
        uint32_t* hits = nullptr;
        uint8_t* bytes = nullptr;
        uint32_t* offsets = nullptr;
    };
    template <class T>
    bool allocate(T*& pointer, std::size_t bytes);

    Runtime& runtime_;
    const std::vector<uint32_t>& primes_;
    uint32_t length_ = 0, capacity_ = 0, primeCount_ = 0, smallCount_ = 0;
    uint32_t* devicePrimes_ = nullptr;
    uint32_t* deviceClasses_ = nullptr;
    std::vector<Scratch> scratch_;
    std::vector<void*> allocations_;
    bool ok_ = false;
};

// Sieves a few segments (small, unaligned, at the top of 64 bits) both on
// the device and on the host with the same primes; returns "" when they keep
// exactly the same multipliers, otherwise what differed.
std::string compareSieves(Runtime& runtime, ThreadPool& workers);

}  // namespace kalvenor
