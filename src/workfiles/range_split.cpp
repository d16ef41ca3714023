#include "workfiles/range_split.h"

#include <algorithm>
#include <cinttypes>
#include <optional>

#include "arith/coverage.h"
#include "common/text_format.h"

namespace kalvenor {

namespace {

using Wide = unsigned __int128;

struct LevelBounds {
    uint64_t kLow;   // the first multiplier whose P reaches the lower level
    Wide kHigh;      // ... the upper level; 2^64 at n = 32q, which no multiplier reaches
    uint64_t kEdge;  // kHigh(n + 1): from here on, exponent n + 1 is all upper
};

LevelBounds boundsOf(uint32_t n) {
    return {kLowOf(n), kHighOf(n), kLowOf(n) << 31};
}

// Whether `part` holds an odd multiplier some kernel serves: one at or
// above kLow at some exponent (every one above the lower level has a kernel).
bool hasServedCandidate(const Assignment& part) {
    for (uint32_t n = part.nStart; n <= part.nEnd; ++n) {
        if ((std::max(part.kStart, kLowOf(n)) | 1) <= part.kEnd) return true;
    }
    return false;
}

}  // namespace

std::string untestedMessage(const Assignment& part) {
    return formatText("n=%u-%u, k=%" PRIu64 "-%" PRIu64 ": not tested, no kernel for P below 2^%u\n", part.nStart,
                      part.nEnd, part.kStart, part.kEnd, 32 * (windowOf(part.nStart) + 1));
}

RangeCut cutRange(const Assignment& line) {
    RangeCut result;
    // Below kLow(n) no kernel serves; kLow falls as n rises, so the parts
    // left out come as a run of whole exponents, then one part per exponent.
    const uint32_t windowEnd = std::min(line.nEnd, 32 * windowOf(line.nStart) + 31);
    for (uint32_t n = line.nStart; n <= windowEnd; ++n) {
        if (line.kStart >= kLowOf(n)) break;
        const uint64_t kEnd = std::min(line.kEnd, kLowOf(n) - 1);
        if (!result.untested.empty() && result.untested.back().kEnd == kEnd && result.untested.back().nEnd + 1 == n)
            result.untested.back().nEnd = n;
        else
            result.untested.push_back({n, n, line.kStart, kEnd});
    }
    // An even kStart with kEnd = kStart + 1 has only kEnd to test.
    std::erase_if(result.untested, [](const Assignment& a) { return (a.kStart | 1) > a.kEnd; });
    std::vector<Assignment> lines = splitRange(line);
    result.cut = !lines.empty() || !result.untested.empty();
    if (!result.cut) return result;
    if (lines.empty()) lines = {line};
    for (const Assignment& piece : lines) {
        if (windowOf(piece.nEnd) != windowOf(piece.nStart) || hasServedCandidate(piece)) result.lines.push_back(piece);
        // The rest of the range, one later window with nothing a kernel
        // serves, is named like the parts of the first.
        else if (piece.nStart > windowEnd) result.untested.push_back(piece);
    }
    return result;
}

std::vector<Assignment> splitRange(const Assignment& line) {
    const uint64_t kEnd = line.kEnd;
    uint32_t nEnd = line.nEnd;
    bool rewrite = false;

    std::optional<Assignment> windowHead;
    std::optional<Assignment> restOfRange;
    const uint32_t nextWindow = (windowOf(line.nStart) + 1) * 32;
    if (nextWindow <= nEnd) {
        windowHead = Assignment{line.nStart, nextWindow - 1, line.kStart, kEnd};
        restOfRange = Assignment{nextWindow, nEnd, line.kStart, kEnd};
        nEnd = nextWindow - 1;
        rewrite = true;
    }
    const uint32_t top = nEnd;

    // Going down the exponents, the classes come in a fixed order: all upper,
    // crossing kHigh, then either spanning both bounds or fitting the lower
    // level, crossing kLow, all below. A cut at kLow raises kStart for the
    // exponents underneath, as their kLow is higher still.
    uint64_t kStart = line.kStart;
    std::vector<Assignment> crossLower;  // highest exponent first
    std::vector<Assignment> crossUpper;  // lower and upper line, highest exponent first
    std::optional<uint32_t> lowestCrossUpper, highestCrossUpper, upperEdge, fitsLow, fitsHigh;
    bool allBelow = false;
    for (uint32_t n = top;; --n) {
        const LevelBounds b = boundsOf(n);
        if (b.kHigh <= kStart) {
            // all upper
        } else if (kEnd <= b.kLow) {
            allBelow = true;
        } else if (b.kHigh < kEnd) {
            const auto kHigh = static_cast<uint64_t>(b.kHigh);  // below kEnd, so it fits
            crossUpper.push_back({n, n, kStart < b.kLow ? b.kLow : kStart, kHigh});
            crossUpper.push_back({n, n, kHigh, kEnd});
            lowestCrossUpper = n;
            if (!highestCrossUpper) highestCrossUpper = n;
        } else if (kStart < b.kLow) {
            // kStart == kLow is not a crossing: kLow is even and never tested,
            // and counting it would cut lines that are already in one level.
            crossLower.push_back({n, n, b.kLow, kEnd});
            kStart = b.kLow;
        } else if (kStart >= b.kEdge) {
            upperEdge = n;
            break;  // everything below fits the lower level
        } else {
            fitsLow = n;
            if (!fitsHigh) fitsHigh = n;
        }
        if (n == line.nStart) break;
    }

    const bool hasCrossLower = !crossLower.empty();
    const bool upperEdgeBelowTop = upperEdge && *upperEdge < top;
    // Fitting exponents above a kLow cut, or above exponents wholly below
    // kLow, get a line of their own: the first part would not cover them.
    const bool fitsRunLine = fitsLow && (hasCrossLower || allBelow);
    rewrite = rewrite || lowestCrossUpper || hasCrossLower || upperEdgeBelowTop || fitsRunLine;
    if (!rewrite) return {};

    std::vector<Assignment> lines;
    if (!hasCrossLower && !fitsRunLine) {
        if (lowestCrossUpper && *lowestCrossUpper > line.nStart) {
            lines.push_back({line.nStart, *lowestCrossUpper - 1, line.kStart, kEnd});
        } else if (!lowestCrossUpper && upperEdgeBelowTop) {
            lines.push_back({line.nStart, *upperEdge, line.kStart, kEnd});
        }
    }
    lines.insert(lines.end(), crossLower.rbegin(), crossLower.rend());
    if (fitsRunLine) lines.push_back({*fitsLow, *fitsHigh, line.kStart, kEnd});
    for (size_t i = crossUpper.size(); i >= 2; i -= 2) {
        lines.push_back(crossUpper[i - 2]);
        lines.push_back(crossUpper[i - 1]);
    }
    if (crossUpper.empty() && windowHead && !hasCrossLower && !upperEdgeBelowTop && !fitsRunLine) {
        lines.push_back(*windowHead);
    }
    const std::optional<uint32_t> firstAllUpper =
        highestCrossUpper ? std::optional<uint32_t>(*highestCrossUpper + 1)
                          : (upperEdge ? std::optional<uint32_t>(*upperEdge + 1) : std::nullopt);
    if (firstAllUpper && *firstAllUpper <= top && !hasCrossLower) {
        lines.push_back({*firstAllUpper, top, line.kStart, kEnd});
    }
    if (restOfRange) lines.push_back(*restOfRange);
    return lines;
}

}  // namespace kalvenor
