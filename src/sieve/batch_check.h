// What the host checks of every batch the device ran before it counts it:
// the residue the launch reported for its checked slot, recomputed with the
// independent reference (arith/reference_powmod.h), and every factor the
// device reported, tested again. A batch that fails either is a device
// arithmetic fault: none of it is counted, and no checkpoint moves past it.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace kalvenor {

// A batch back from the device, as the host sees it.
struct LandedBatch {
    const uint32_t* result;  // the launch's result buffer, read back
    uint32_t n;
    uint32_t count;           // multipliers the launch tested
    uint32_t seed;            // the launch's checkSeed
    const uint64_t* batch;    // a host-sieved batch in slot order; null for a device-sieved one
    uint64_t kSeg;            // the segment the batch came from,
    uint32_t length;          // as odd multipliers from kSeg
};

struct DeviceFault {
    uint64_t k = 0;    // the multiplier concerned; 0 where none came back
    std::string what;  // what was wrong, to follow "k=..., n=...: "
};

// The seed of the batch of `length` multipliers from kSeg: the same on every
// run, another for every batch, so the checked slot wanders over the
// device's multiprocessors and lanes.
uint32_t checkSeedOf(uint64_t kSeg, uint32_t length, uint32_t n);

// The fault of the launch's checked slot, if any: no report at all (a
// launch that did not run), another slot or multiplier than the seed
// chose, or a residue other than the reference's.
std::optional<DeviceFault> checkReportedResidue(const LandedBatch& batch);

// The host's own test of a factor the device reported: the independent
// reference (referenceTest) but in tests of the walk itself.
using FactorTest = std::function<bool(uint64_t k, uint32_t n)>;

// The first of `factors`, as the device reported them, that `isFactor`
// rejects or that is no multiplier of the batch.
std::optional<DeviceFault> checkReportedFactors(const LandedBatch& batch, const std::vector<uint64_t>& factors,
                                                const FactorTest& isFactor);

// The launch's checksum: the sum of the checksum terms of what it tested.
uint64_t launchChecksum(const uint32_t* result);

}  // namespace kalvenor
