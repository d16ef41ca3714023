#include "sieve/batch_check.h"

#include <algorithm>
#include <cinttypes>

#include "arith/reference_powmod.h"
#include "arith/residue_checksum.h"
#include "common/text_format.h"
#include "kernels/kernel_args.h"

namespace kalvenor {

namespace {

uint64_t wordsAt(const uint32_t* result, uint32_t word) { return uint64_t{result[word + 1]} << 32 | result[word]; }

// Whether k can be one of the batch's multipliers: in the host's batch, or
// an odd multiplier of the segment the device sieved.
bool ofBatch(const LandedBatch& b, uint64_t k) {
    if (b.batch != nullptr) return std::binary_search(b.batch, b.batch + b.count, k);
    return k >= b.kSeg && (k - b.kSeg) % 2 == 0 && (k - b.kSeg) / 2 < b.length;
}

}  // namespace

uint32_t checkSeedOf(uint64_t kSeg, uint32_t length, uint32_t n) {
    return static_cast<uint32_t>(fmix64(kSeg ^ (uint64_t{n} << 32 | length) * kChecksumExponentFactor));
}

std::optional<DeviceFault> checkReportedResidue(const LandedBatch& b) {
    if (b.count == 0) return std::nullopt;
    const uint32_t reported = b.result[kCheckedSlotWord];
    if (reported == 0) return DeviceFault{0, "the launch reported no residue for its checked slot, as if its kernel had not run"};
    const uint32_t slot = reported - 1, chosen = checkedSlot(b.seed, b.count);
    const uint64_t k = wordsAt(b.result, kCheckedKWord);
    if (slot != chosen) return DeviceFault{k, formatText("the launch reported slot %u, not the checked slot %u", slot, chosen)};
    if (b.batch != nullptr ? b.batch[slot] != k : !ofBatch(b, k))
        return DeviceFault{k, "the launch reported a multiplier that its checked slot does not hold"};
    const std::vector<uint32_t> expected = referenceResidue(k, b.n);
    if (expected.empty() || expected.size() > kResidueStride ||
        !std::equal(expected.begin(), expected.end(), b.result + kCheckedResidueWord))
        return DeviceFault{k, "its residue differs from the one the host computes"};
    return std::nullopt;
}

std::optional<DeviceFault> checkReportedFactors(const LandedBatch& b, const std::vector<uint64_t>& factors,
                                                const FactorTest& isFactor) {
    for (uint64_t k : factors) {
        if (!ofBatch(b, k)) return DeviceFault{k, "the device reported a factor that is not a multiplier of the batch"};
        if (!isFactor(k, b.n)) return DeviceFault{k, "the device reported it as a factor, and the host test rejects it"};
    }
    return std::nullopt;
}

uint64_t launchChecksum(const uint32_t* result) { return wordsAt(result, kChecksumWord); }

}  // namespace kalvenor
