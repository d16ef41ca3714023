// The sieve kernel, which runs on the device: one segment of odd multipliers
// kSeg, kSeg+2, ... struck by every prime of the table and compacted into
// 32-bit offsets j (for kSeg + 2j) that the test kernel reads in place. It
// keeps exactly what the host's SegmentSieve keeps: k survives when no prime
// q has k = -2^-n (mod q).
//
// The work is written as phases, functions of (block, thread) with a
// barrier between phases and nothing else: the GPU runs each phase on its
// threads with __syncthreads() between; the host-emulated device runs the
// same functions over blocks, phases and threads. Per segment:
//   1. firstHits: per prime, the first offset it strikes;
//   2. strikeLarge: per prime of at least a block window, its few hits, as
//      zero bytes in a segment-wide byte array (bytes written concurrently
//      all write the same zero);
//   3. per block of kSieveWindow offsets: a byte array in shared memory set
//      to one, the small primes struck in it, the large primes' bytes taken
//      over, the survivors counted per thread, the counts summed by thread
//      0, which reserves the block's place in the output with one atomic
//      add, and each thread writes its survivors there.
// Survivors beyond `capacity` are counted but not written: the caller sees
// the count and sieves that segment again in smaller parts.
#pragma once

#include <cstdint>

#include "arith/carry_chain.h"
#include "kernels/device_atomic.h"

namespace kalvenor {

inline constexpr uint32_t kSieveWindow = 32768;  // offsets per block; bytes of shared memory
inline constexpr uint32_t kSieveThreads = 256;   // threads per block
inline constexpr uint32_t kSliceBytes = kSieveWindow / kSieveThreads;  // window bytes per thread

struct GpuSieveArgs {
    const uint32_t* primes;   // ascending odd primes
    const uint32_t* classes;  // per prime, the class of k it strikes: -2^-n mod q
    uint32_t primeCount;
    uint32_t smallCount;  // the primes below kSieveWindow come first
    uint64_t kSeg;        // odd
    uint32_t length;      // odd multipliers in the segment
    uint32_t* hits;       // primeCount words of scratch
    uint8_t* bytes;       // length bytes of scratch, for the large primes
    uint32_t* offsets;    // capacity words of output
    uint32_t capacity;
    uint32_t* count;  // survivors, all of them; zero before the sieve
};

inline constexpr uint32_t sieveBlocks(uint32_t length) { return (length + kSieveWindow - 1) / kSieveWindow; }

// What one block of the window phase shares.
struct SieveBlockShared {
    uint8_t window[kSieveWindow];
    uint32_t counts[kSieveThreads];  // survivors per thread, then where each thread writes
};

// The sieve of one segment is three launches, in this order, each of
// kSieveThreads threads per block; a launch of no blocks is left out. Both
// devices take the shapes from here, so the launch limits are checked
// against what a GPU is really asked to run.
enum class SievePhase { FirstHits, StrikeLarge, Windows };
inline constexpr int kSievePhases = 3;

struct SievePhaseLaunch {
    SievePhase phase;
    uint32_t blocks;
    uint32_t sharedBytes;  // static shared memory per block
};

constexpr uint32_t blocksForThreads(uint32_t threads) { return (threads + kSieveThreads - 1) / kSieveThreads; }

struct SieveLaunches {
    SievePhaseLaunch phases[kSievePhases];
};

constexpr SieveLaunches sieveLaunchesOf(uint32_t primeCount, uint32_t smallCount, uint32_t length) {
    return {{{SievePhase::FirstHits, blocksForThreads(primeCount), 0},
             {SievePhase::StrikeLarge, blocksForThreads(primeCount > smallCount ? primeCount - smallCount : 0), 0},
             {SievePhase::Windows, sieveBlocks(length), static_cast<uint32_t>(sizeof(SieveBlockShared))}}};
}

// The first offset j (k = kStart + 2j) with k = target (mod q): below q.
KALVENOR_HD uint32_t firstHit(uint64_t kStart, uint32_t q, uint32_t target) {
    const uint32_t from = static_cast<uint32_t>(kStart % q);
    uint64_t offset = target >= from ? target - from : uint64_t{target} + q - from;
    if (offset & 1u) offset += q;  // the walk steps by 2: only even offsets are in it
    return static_cast<uint32_t>(offset / 2);
}

// Phase 1, one thread per prime.
KALVENOR_HD void firstHitOf(const GpuSieveArgs& a, uint32_t prime) {
    if (prime < a.primeCount) a.hits[prime] = firstHit(a.kSeg, a.primes[prime], a.classes[prime]);
}

// Phase 2, one thread per prime; the byte array was set to one before.
KALVENOR_HD void strikeLarge(const GpuSieveArgs& a, uint32_t prime) {
    if (prime < a.smallCount || prime >= a.primeCount) return;
    const uint32_t q = a.primes[prime];
    for (uint64_t j = a.hits[prime]; j < a.length; j += q) a.bytes[j] = 0;
}

// Phase 3a: the block's window set to one. Thread t owns the window's bytes
// t, t+threads, ...: neighbouring threads touch neighbouring bytes, which
// keeps shared memory free of bank conflicts and the reads of the large
// primes' bytes coalesced. (The survivors' order within a block is free: the
// test reads them in any order.)
KALVENOR_HD void clearWindow(SieveBlockShared& s, uint32_t thread) {
    for (uint32_t m = 0; m < kSliceBytes; ++m) s.window[m * kSieveThreads + thread] = 1;
}

// Where a prime whose first hit in the segment is `hit` first strikes the
// window that starts at offset `start`.
KALVENOR_HD uint32_t firstInWindow(uint32_t hit, uint32_t q, uint32_t start) {
    return hit >= start ? hit - start : (q - (start - hit) % q) % q;
}

// Phase 3b: the small primes. The few below kSharedPrimeBelow strike the
// window hundreds of times each, so all threads take turns over each one's
// hits; the rest go one prime to a thread, thread t taking primes t,
// t+threads, ..., so no thread works much longer than the others.
inline constexpr uint32_t kSharedPrimeBelow = 1024;
KALVENOR_HD void strikeSmall(const GpuSieveArgs& a, SieveBlockShared& s, uint32_t block, uint32_t thread) {
    const uint32_t start = block * kSieveWindow;
    uint32_t i = 0;
    for (; i < a.smallCount && a.primes[i] < kSharedPrimeBelow; ++i) {
        const uint32_t q = a.primes[i];
        for (uint32_t j = firstInWindow(a.hits[i], q, start) + thread * q; j < kSieveWindow; j += kSieveThreads * q)
            s.window[j] = 0;
    }
    for (i += thread; i < a.smallCount; i += kSieveThreads) {
        const uint32_t q = a.primes[i];
        for (uint32_t j = firstInWindow(a.hits[i], q, start); j < kSieveWindow; j += q) s.window[j] = 0;
    }
}

// Phase 3c: the large primes' strikes taken over, and the thread's survivors counted.
KALVENOR_HD void countSlice(const GpuSieveArgs& a, SieveBlockShared& s, uint32_t block, uint32_t thread) {
    uint32_t survivors = 0;
    for (uint32_t m = 0; m < kSliceBytes; ++m) {
        const uint32_t i = m * kSieveThreads + thread;
        const uint64_t j = uint64_t{block} * kSieveWindow + i;
        const bool alive = j < a.length && s.window[i] != 0 && a.bytes[j] != 0;
        s.window[i] = alive ? 1 : 0;
        survivors += alive ? 1 : 0;
    }
    s.counts[thread] = survivors;
}

// Phase 3d, thread 0 alone: where each thread writes.
KALVENOR_HD void placeSlices(const GpuSieveArgs& a, SieveBlockShared& s, uint32_t thread) {
    if (thread != 0) return;
    uint32_t total = 0;
    for (uint32_t t = 0; t < kSieveThreads; ++t) {
        const uint32_t n = s.counts[t];
        s.counts[t] = total;
        total += n;
    }
    const uint32_t base = addAtomically(a.count, total);
    for (uint32_t t = 0; t < kSieveThreads; ++t) s.counts[t] += base;
}

// Phase 3e: the thread's survivors, where placeSlices put them.
KALVENOR_HD void writeSlice(const GpuSieveArgs& a, const SieveBlockShared& s, uint32_t block, uint32_t thread) {
    uint32_t at = s.counts[thread];
    for (uint32_t m = 0; m < kSliceBytes; ++m) {
        const uint32_t i = m * kSieveThreads + thread;
        if (s.window[i] == 0) continue;
        if (at < a.capacity) a.offsets[at] = block * kSieveWindow + i;
        ++at;
    }
}

}  // namespace kalvenor
