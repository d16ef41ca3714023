#include "sieve/factor_report.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "arith/reference_powmod.h"
#include "common/text_format.h"
#include "kernels/kernel_args.h"
#include "workfiles/log_files.h"

namespace kalvenor {

namespace {

constexpr std::size_t kFrameWidth = 78;

std::string factorFrame(const std::string& message) {
    const std::size_t stars = message.empty() ? 0 : std::min(message.size() - 1, kFrameWidth);
    std::string frame(kFrameWidth, ' ');
    frame.replace(0, stars, stars, '*');
    return frame;
}

// The multipliers of batch[0..count) that pass the host's test, in batch order.
std::vector<uint64_t> retestBatch(const uint64_t* batch, uint32_t count, uint32_t n,
                                  const std::function<bool(uint64_t, uint32_t)>& isFactor) {
    std::vector<uint64_t> found;
    for (uint32_t i = 0; i < count; ++i)
        if (isFactor(batch[i], n)) found.push_back(batch[i]);
    return found;
}

}  // namespace

std::string factorMessage(uint64_t k, uint32_t n) {
    char text[64];
    std::snprintf(text, sizeof text, "!!! Found factor %" PRIu64 "*2^%d+1 !!!\n", k,
                  static_cast<int>(n));
    return text;
}

std::string factorBanner(uint64_t k, uint32_t n) {
    const std::string message = factorMessage(k, n);
    const std::string frame = factorFrame(message);
    return "\n" + frame + "\n" + message + frame;
}

std::string fermatNumberLine(uint64_t k, uint32_t n) {
    if (const std::optional<uint32_t> m = fermatIndexOf(k, n))
        return formatText("%" PRIu64 "*2^%" PRIu32 "+1 divides F%" PRIu32 "\n", k, n, *m);
    return formatText("%" PRIu64 "*2^%" PRIu32 "+1 divides no single Fermat number: it is composite, a product of "
                      "factors of different ones\n",
                      k, n);
}

bool reportFactor(uint64_t k, uint32_t n, const std::string& factorsPath) {
    std::fputs((factorBanner(k, n) + fermatNumberLine(k, n)).c_str(), stdout);
    std::fflush(stdout);
    const std::string entry = timeStamp() + factorMessage(k, n);
    if (appendToLog(factorsPath, entry)) return true;
    // appendToLog has said why; the entry itself must not be lost with the file.
    std::fprintf(stderr, "%sThis factor is not in factors.txt: the run stops here, before its checkpoint moves past "
                         "it, so that the next run finds it again.\n", entry.c_str());
    std::fflush(stderr);
    return false;
}

std::vector<uint64_t> factorsOfLaunch(const uint32_t* result, const uint64_t* batch, uint32_t count, uint32_t n,
                                      const std::function<bool(uint64_t k, uint32_t n)>& isFactor) {
    const uint32_t counted = result[0];
    std::vector<uint64_t> found;
    if (counted <= kResultRecords) {
        for (uint32_t r = 0; r < counted; ++r)
            found.push_back((static_cast<uint64_t>(result[3 * r + 2]) << 32) | result[3 * r + 1]);
        return found;
    }
    return retestBatch(batch, count, n, isFactor);
}

}  // namespace kalvenor
