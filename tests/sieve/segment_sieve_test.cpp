// The host sieve and the device sieve (on the host-emulated device, the
// strict emulation of a GPU and a GPU where there is one) against plain
// striking, the collection of survivors into batches, and the table of small
// primes. (The walk up to 2^64-1 is the runner's.)
#include "sieve/segment_sieve.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "device/gpu_profiles.h"
#include "kernels/sieve_kernel.h"
#include "sieve/device_sieve.h"
#include "sieve/small_primes.h"
#include "strike_oracle.h"
#include "support/test_support.h"

namespace kalvenor {
namespace {

constexpr uint64_t kTop = UINT64_MAX;

// The device sieve's survivors of one segment, all of them when `capacity`
// holds them; its count is of all of them either way. It runs in a queue of
// the ring's, as a run sieves, right after the classes are set.
std::vector<uint64_t> deviceSieved(Runtime& runtime, ThreadPool& workers, const std::vector<uint32_t>& primes, uint32_t n,
                                   uint64_t kSeg, uint32_t length, uint32_t capacity, uint32_t& count) {
    void* deviceCount = nullptr;
    EXPECT_EQ(0, runtime.allocateDevice(&deviceCount, sizeof count));
    count = 0xA5A5A5A5u;  // the sieve clears it
    EXPECT_EQ(0, runtime.copyToDevice(deviceCount, &count, sizeof count));
    DeviceSieve sieve(runtime, primes, 2, length, capacity);
    EXPECT_TRUE(sieve.ok() && sieve.setExponent(n, workers));
    EXPECT_EQ(0, sieve.submit(1, kSeg, length, static_cast<uint32_t*>(deviceCount), 2));
    EXPECT_EQ(0, runtime.waitQueue(2));
    EXPECT_EQ(0, runtime.copyToHost(&count, deviceCount, sizeof count));
    EXPECT_EQ(0, runtime.freeDevice(deviceCount));
    return sieve.survivorsOf(1, kSeg, count);
}

// Long segments go through the host sieve's faster paths: the leading primes
// come from a repeating pattern, primes below the block size strike block by
// block, and a long enough segment is split between threads. The device
// sieve has paths of its own: primes below its window strike a block's
// shared window (the smallest all threads together), larger ones a byte
// array over the segment, and the blocks place their survivors with one
// atomic add each. Short or long, a segment must keep exactly what plain
// striking keeps, wherever it starts and however its length falls on blocks,
// windows and parts.
TEST(Sieves, KeepWhatPlainStrikingKeeps) {
    const std::vector<uint32_t> all = *buildSmallPrimes(30000);  // up to about 350,000
    const std::vector<uint32_t> none, three(all.begin(), all.begin() + 3), first24(all.begin(), all.begin() + 24);
    // Without the small primes most bytes survive, so a byte that no path
    // writes shows even where it happens to hold 0.
    const std::vector<uint32_t> large(std::lower_bound(all.begin(), all.end(), 65537u), all.end());
    struct Segment {
        const char* what;
        uint64_t kSeg;
        uint32_t length, n;
        std::vector<const std::vector<uint32_t>*> tables;
        std::vector<uint64_t> kept;  // worked by hand; empty where only striking decides
    };
    const Segment segments[] = {
        {"worked example, n=32", 3, 20, 32, {&three}, {3, 7, 13, 15, 21, 25, 27, 31, 37}},
        {"worked example, n=33", 3, 20, 33, {&three}, {3, 5, 9, 11, 15, 21, 23, 29, 33, 35, 39}},
        {"empty table strikes nothing", 1, 50, 40, {&none}, {}},
        {"one byte", 9, 1, 64, {&first24}, {}},
        {"segment shorter than a prime", 1000001, 5, 127, {&first24}, {}},
        {"ends at 2^64-1", kTop - 2 * 299, 300, 77, {&first24}, {}},
        {"long, from the start of the range", 1, 1200000, 36, {&all, &large}, {}},
        {"one block and a byte", 17179869185u, 65537, 120, {&all, &large}, {}},
        {"one byte short of a block", 1000001, 65535, 601, {&all, &large}, {}},
        {"pattern period and a half", 3, 382883, 33, {&all, &large}, {}},
        {"several parts, odd length", (1ull << 40) + 7, 1048576 + 12345, 300, {&all, &large}, {}},
        {"long, ending at 2^64-1", kTop - 2 * (600000 - 1), 600000, 77, {&all, &large}, {}},
    };
    std::vector<Segment> cases(std::begin(segments), std::end(segments));
    std::mt19937_64 random(607);
    for (int trial = 0; trial < 12; ++trial) {  // random exponents and starts, lengths across the device's windows
        const uint32_t length = 1 + static_cast<uint32_t>(random() % (3 * kSieveWindow));
        const uint64_t kSeg = trial % 3 == 0 ? kTop - 2ull * (length - 1) : random() | 1;
        cases.push_back({"random", kSeg, length, 32 + static_cast<uint32_t>(random() % 576), {&all}, {}});
    }
    ThreadPool workers(3);
    std::vector<std::unique_ptr<Runtime>> devices;
    devices.push_back(makeHostRuntime(3));
    devices.push_back(makeEmulatedGpuRuntime(*findGpuProfile("h100"), 3));
    if (RuntimeChoice gpu = chooseRuntime(); gpu.runtime->kind() == RuntimeKind::Cuda) devices.push_back(std::move(gpu.runtime));
    for (const Segment& s : cases) {
        for (const std::vector<uint32_t>* primes : s.tables) {
            SCOPED_TRACE(::testing::Message() << s.what << ", " << primes->size() << " primes, n=" << s.n << ", k=" << s.kSeg
                                              << " and " << s.length - 1 << " after");
            SegmentSieve sieve(*primes, s.n, s.length, workers);
            sieve.sieve(s.kSeg, s.length);
            const std::vector<uint8_t> got(sieve.bytes(), sieve.bytes() + s.length);
            EXPECT_EQ(got, testing::survivorBytes(s.kSeg, s.length, s.n, *primes));
            const std::vector<uint64_t> kept = testing::survivors(s.kSeg, s.kSeg + 2ull * (s.length - 1), s.n, *primes);
            if (!s.kept.empty()) {
                EXPECT_EQ(kept, s.kept);
            }
            const auto room = static_cast<uint32_t>(kept.size());
            for (const std::unique_ptr<Runtime>& device : devices) {
                SCOPED_TRACE(!device->emulation().empty()              ? "emulated " + device->emulation()
                             : device->kind() == RuntimeKind::Cuda ? std::string("CUDA device")
                                                                   : std::string("host device"));
                uint32_t count = 0;
                EXPECT_EQ(deviceSieved(*device, workers, *primes, s.n, s.kSeg, s.length, room, count), kept);
                EXPECT_EQ(count, room);
                // With room for half, all are counted, half are written, and no one else.
                const std::vector<uint64_t> half = deviceSieved(*device, workers, *primes, s.n, s.kSeg, s.length, room / 2, count);
                EXPECT_EQ(count, room);
                EXPECT_EQ(half.size(), room / 2);
                EXPECT_TRUE(std::includes(kept.begin(), kept.end(), half.begin(), half.end()));
            }
        }
    }
    // A short segment after a long one writes no byte beyond its length.
    SegmentSieve sieve(first24, 32, 64, workers);
    sieve.sieve(kTop - 2 * 63, 64);
    const std::vector<uint8_t> before(sieve.bytes(), sieve.bytes() + 64);
    sieve.sieve(kTop - 2 * 4, 5);
    EXPECT_TRUE(std::equal(before.begin() + 5, before.end(), sieve.bytes() + 5));
}

// The device sieve's offset arithmetic against brute force: the first offset
// j with kStart + 2j = target (mod q), and where a prime's walk from its
// first hit first lands in a window, near 2^64 and for primes up to 2^32.
TEST(Sieves, FirstHitsAreTheFirstOffsetsStruck) {
    std::mt19937_64 random(32768);
    for (int trial = 0; trial < 3000; ++trial) {
        const uint32_t q = std::vector<uint32_t>{3, 5, 1021, 32749, 32771, 4294967291u}[trial % 6];
        const uint64_t kStart = (trial % 2 ? kTop - 2 * (random() % 100000) : random()) | 1;
        const auto target = static_cast<uint32_t>(random() % q);
        const uint32_t j = firstHit(kStart, q, target);
        SCOPED_TRACE(::testing::Message() << "k=" << kStart << " q=" << q << " target=" << target);
        const auto struck = [&](uint64_t offset) { return (static_cast<unsigned __int128>(kStart) + 2 * offset) % q == target; };
        ASSERT_LT(j, q);
        EXPECT_TRUE(struck(j));
        for (uint64_t earlier = j > 2000 ? j - 2000 : 0; earlier < j; ++earlier) EXPECT_FALSE(struck(earlier)) << earlier;
        if (q > 1 << 20) continue;
        const auto start = static_cast<uint32_t>(random() % (8 * kSieveWindow)) / kSieveWindow * kSieveWindow;
        uint64_t next = j;
        while (next < start) next += q;
        EXPECT_EQ(firstInWindow(j, q, start), next - start);
    }
}

// Long segments are collected by several threads, each from its own part:
// the batch and the resume point must be those of one pass, wherever the
// batch fills, for short segments as for long ones.
TEST(CollectBatch, StopsWhenFullOrAtTheSegmentEnd) {
    std::mt19937_64 random(11);
    ThreadPool workers(3);
    for (const uint32_t length : {0u, 1u, 10u, 1500007u}) {
        std::vector<uint8_t> bytes(length);
        for (uint8_t& b : bytes) b = random() % 25 == 0 ? 1 : 0;
        if (length == 10) bytes = {1, 0, 1, 1, 0, 0, 1, 1, 0, 1};
        const uint64_t kSeg = (1ull << 40) + 1;
        std::vector<uint64_t> all;
        for (uint32_t j = 0; j < length; ++j)
            if (bytes[j] != 0) all.push_back(kSeg + 2ull * j);
        const auto total = static_cast<uint32_t>(all.size());
        for (const uint32_t capacity : {1u, 3u, total / 2 + 1, total - 1, total, total + 1, 1u << 20}) {
            if (capacity == 0 || capacity > (1u << 20)) continue;
            SCOPED_TRACE(::testing::Message() << "length " << length << " capacity " << capacity);
            std::vector<uint64_t> batch(std::max(capacity, total) + 1, 0);
            uint32_t examined = 99;
            const uint32_t count = collectBatch(bytes.data(), length, kSeg, capacity, batch.data(), examined, workers);
            ASSERT_EQ(count, std::min(capacity, total));
            EXPECT_TRUE(std::equal(all.begin(), all.begin() + count, batch.begin()));
            EXPECT_EQ(batch[count], 0u);  // nothing past the batch
            EXPECT_EQ(examined, capacity > total ? length : static_cast<uint32_t>((all[capacity - 1] - kSeg) / 2 + 1));
        }
    }
}

// ---- the table of small primes ----

// The first `count` odd primes from a plain sieve of Eratosthenes over all
// integers, grown until it has enough: nothing shared with the code under test.
std::vector<uint32_t> firstOddPrimes(uint32_t count) {
    for (uint64_t limit = 64;; limit *= 2) {
        std::vector<bool> composite(limit, false);
        std::vector<uint32_t> primes;
        for (uint64_t i = 2; i < limit && primes.size() < count; ++i) {
            if (composite[i]) continue;
            if (i != 2) primes.push_back(static_cast<uint32_t>(i));
            for (uint64_t m = i * i; m < limit; m += i) composite[m] = true;
        }
        if (primes.size() == count) return primes;
    }
}

// Every count up to 3000, the counts whose first bound falls short (11 needs
// 37, one past the bound of 36; the table must still come out whole), and
// the deepest tables the launch tables ask for.
TEST(SmallPrimes, AreTheFirstOddPrimesForEveryCount) {
    const std::vector<uint32_t> reference = firstOddPrimes(3000);
    for (uint32_t count = 0; count <= 3000; ++count) {
        const std::optional<std::vector<uint32_t>> table = buildSmallPrimes(count);
        ASSERT_TRUE(table && table->size() == count) << count;
        ASSERT_TRUE(std::equal(table->begin(), table->end(), reference.begin())) << count;
    }
    for (uint32_t count : {10238u, 132503u, 1000000u}) EXPECT_EQ(buildSmallPrimes(count), firstOddPrimes(count)) << count;
    EXPECT_EQ(buildSmallPrimes(3000000)->back(), 49979693u);
    EXPECT_EQ(primeBound(11), 36u);
}

// Tables that cannot be held are refused with the primes' message: beyond
// the 32-bit primes, and (in a child under an address-space limit, which
// would starve a sanitizer) 100 million primes wanting a 1 GB sieve.
TEST(SmallPrimes, TablesThatCannotBeHeldAreRefusedWithAMessage) {
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(buildSmallPrimes(300000000u));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "\nThere is not enough memory to allocate a table of primes: Numerical result out of range\n");
    if (testing::kAddressSanitizer) return;
    const testing::ProcessResult child = testing::runChild({.body = [] {
        const rlimit limit{512u << 20, 512u << 20};
        ::setrlimit(RLIMIT_AS, &limit);
        return buildSmallPrimes(100000000u) ? 1 : 0;
    }});
    EXPECT_EQ(child.exitCode, 0);
    EXPECT_EQ(child.err, "\nThere is not enough memory to allocate a table of primes: Cannot allocate memory\n");
}

}  // namespace
}  // namespace kalvenor
