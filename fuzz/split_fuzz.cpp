// Cutting a line so one kernel serves each piece. Whatever the range, the
// pieces of its first window must cover every candidate that has a kernel
// exactly once, each piece must lie in one window and one level (so a restart
// reads it back without cutting it again), and the file must come out as the
// pieces followed by the old remainder, byte for byte.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_scratch.h"
#include "workfiles/assignment_file.h"
#include "workfiles/assignment_line.h"
#include "workfiles/checkpoint.h"
#include "workfiles/log_files.h"
#include "workfiles/range_split.h"
#include "workfiles/run_state.h"

namespace {

using namespace kalvenor;
using kalvenor::fuzz::fail;
using Wide = unsigned __int128;

std::string describe(const Assignment& a) { return formatAssignment(a); }

int log2Floor(uint64_t k) { return 63 - __builtin_clzll(k); }

// Word count of P = k*2^n+1, and whether window q has a kernel for it.
uint32_t wordCount(uint64_t k, uint32_t n) { return ((static_cast<uint32_t>(log2Floor(k)) + n) >> 5) + 1; }
bool served(uint64_t k, uint32_t n) {
    const uint32_t q = n / 32, w = wordCount(k, n);
    return w == q + 2 || (w == q + 3 && q < 18);
}

// Odd multipliers of [kStart, kEnd] with a kernel at n: an interval, since
// the word count only grows with k. Empty when first > last.
struct OddInterval {
    Wide first, last;
    bool empty() const { return first > last; }
};
OddInterval servedInterval(uint32_t n, uint64_t kStart, uint64_t kEnd) {
    Wide first = kStart | 1u;
    Wide last = kEnd % 2 ? kEnd : kEnd - 1;
    if (first > last) return {1, 0};
    // Walk the bounds inward by whole powers of two: at most 64 steps each.
    while (first <= last && !served(static_cast<uint64_t>(first), n)) {
        const int bit = log2Floor(static_cast<uint64_t>(first));
        const Wide next = bit == 63 ? last + 1 : (Wide{1} << (bit + 1)) + 1;
        first = wordCount(static_cast<uint64_t>(first), n) < n / 32 + 2 ? next : last + 1;
    }
    while (first <= last && !served(static_cast<uint64_t>(last), n)) {
        const int bit = log2Floor(static_cast<uint64_t>(last));
        if (bit == 0) return {1, 0};
        last = (Wide{1} << bit) - 1;
    }
    return {first, last};
}

void checkPieces(const Assignment& line, const std::vector<Assignment>& pieces) {
    const uint32_t windowEnd = std::min(line.nEnd, line.nStart / 32 * 32 + 31);
    bool windowHasKernel = false;
    for (uint32_t n = line.nStart; n <= windowEnd; ++n)
        windowHasKernel = windowHasKernel || !servedInterval(n, line.kStart, line.kEnd).empty();

    std::vector<Assignment> window;
    for (size_t i = 0; i < pieces.size(); ++i) {
        const Assignment& p = pieces[i];
        const LineVerdict verdict = checkAssignmentLine(formatAssignment(p));
        if (verdict.code != kAssignmentReady) fail("a piece the reader refuses", describe(p));
        if (p.nStart > windowEnd) {
            // Only the rest of the range, untouched, may lie beyond the first window.
            const Assignment rest{windowEnd + 1, line.nEnd, line.kStart, line.kEnd};
            if (i + 1 != pieces.size() || !(p == rest)) fail("piece beyond the first window", describe(p));
            continue;
        }
        if (p.nEnd > windowEnd || p.nStart < line.nStart || p.kStart < line.kStart || p.kEnd > line.kEnd)
            fail("piece outside the line's first window", describe(p));
        window.push_back(p);

        // One level: the word counts of its candidates with a kernel agree.
        uint32_t level = 0;
        bool any = false;
        for (uint32_t n = p.nStart; n <= p.nEnd; ++n) {
            const OddInterval s = servedInterval(n, p.kStart, p.kEnd);
            if (s.empty()) continue;
            for (const uint32_t w : {wordCount(static_cast<uint64_t>(s.first), n),
                                     wordCount(static_cast<uint64_t>(s.last), n)}) {
                if (any && w != level) fail("piece spans two levels", describe(p));
                level = w;
                any = true;
            }
        }
        if (!any && windowHasKernel) fail("piece without a kernel beside pieces with one", describe(p));
        if (!splitRange(p).empty()) fail("piece would be cut again on restart", describe(p));
    }

    // Every candidate with a kernel in exactly one piece.
    for (uint32_t n = line.nStart; n <= windowEnd; ++n) {
        const OddInterval whole = servedInterval(n, line.kStart, line.kEnd);
        std::vector<OddInterval> parts;
        for (const Assignment& p : window) {
            if (n < p.nStart || n > p.nEnd) continue;
            const OddInterval s = servedInterval(n, p.kStart, p.kEnd);
            if (!s.empty()) parts.push_back(s);
        }
        std::sort(parts.begin(), parts.end(), [](auto& a, auto& b) { return a.first < b.first; });
        Wide next = whole.first;
        for (const OddInterval& s : parts) {
            if (s.first != next) fail(s.first < next ? "candidates in two pieces" : "candidates lost", describe(line));
            next = s.last + 2;
        }
        if (!whole.empty() && next != whole.last + 2) fail("candidates lost at the top", describe(line));
        if (whole.empty() && !parts.empty()) fail("candidates invented", describe(line));
    }
}

uint64_t shaped(uint64_t raw, bool nearPowerOfTwo) {
    if (!nearPowerOfTwo) return raw;
    // Most cuts happen at kLow and kHigh, powers of two: land near them often.
    const int bit = static_cast<int>(raw & 63);
    const auto offset = static_cast<int64_t>(static_cast<int16_t>(raw >> 8));
    return (uint64_t{1} << bit) + static_cast<uint64_t>(offset);
}

uint64_t take64(const uint8_t* data) {
    uint64_t v;
    std::memcpy(&v, data, sizeof v);
    return v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    constexpr size_t kHeader = 21;
    if (size < kHeader) return 0;
    kalvenor::fuzz::enterScratchDirectory();

    const uint8_t mode = data[0];
    const uint32_t spanRaw = data[3] | (data[4] << 8);
    Assignment line;
    line.nStart = 32 + (data[1] | (data[2] << 8)) % 576;
    // Mostly short spans, which stay within one or two windows.
    const uint32_t room = 608 - line.nStart;
    line.nEnd = line.nStart + (mode & 4 ? spanRaw % room : spanRaw % std::min<uint32_t>(room, 40));
    uint64_t kStart = shaped(take64(data + 5), mode & 1);
    uint64_t kEnd = shaped(take64(data + 13), mode & 2);
    if (kStart > kEnd) std::swap(kStart, kEnd);
    if (mode & 8) kEnd = kStart + (kEnd & 0xFFFF);  // narrow ranges too
    if (kEnd < kStart) kEnd = UINT64_MAX;
    if (kStart < 2) kStart = 2;
    if (kEnd < kStart) kEnd = kStart;
    if (kStart == kEnd && kStart % 2 == 0) kEnd = kStart + 1;
    line.kStart = kStart;
    line.kEnd = kEnd;

    const std::vector<Assignment> pieces = splitRange(line);
    if (pieces.empty()) {
        checkPieces(line, {line});
    } else {
        checkPieces(line, pieces);
    }

    // Through the file, as the program does it.
    const std::string_view remainder(reinterpret_cast<const char*>(data) + kHeader, size - kHeader);
    const std::string first = (mode & 16 ? "\xEF\xBB\xBF" : "") + formatAssignment(line);
    const std::string before = first + std::string(remainder);
    fuzz::writeBytes("worktodo.txt", before);
    fuzz::removeFile(kCheckpointPath);
    fuzz::removeFile(kResultsPath);
    RunState state;
    if (readAssignment("worktodo.txt", state) != kAssignmentReady) fail("line refused", before);
    const std::string after = fuzz::readBytes("worktodo.txt");
    std::string expected;
    for (const Assignment& p : pieces) expected += formatAssignment(p);
    expected = pieces.empty() ? before : expected + std::string(remainder);
    if (after != expected) fail("file after the cut", after);
    const Assignment runNow = pieces.empty() ? line : pieces.front();
    if (state.nStart != runNow.nStart || state.nEnd != runNow.nEnd ||
        state.kStart != (runNow.kStart | 1) || state.kEnd != runNow.kEnd)
        fail("state is not the new first line", after);
    if (state.nCurrent != state.nStart || state.kCurrent != state.kStart) fail("fresh start", after);
    return 0;
}
