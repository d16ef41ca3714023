// What cutting a line must give, whatever the line: the judge shared by the
// cutting's property test and its fuzz target. The pieces that take the
// line's place lie in its first window, each in one window and one level (so
// a restart reads it back without cutting it again) with something a kernel
// serves; together they hold every candidate of that window that has a
// kernel exactly once; the parts left out are named, and hold exactly the
// candidates without one; and only the rest of the range, untouched, may
// follow as the last piece.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "support/coverage_oracle.h"
#include "workfiles/assignment_line.h"
#include "workfiles/range_split.h"

namespace kalvenor::testing {

// "" when `cut` is a sound cut of `line`.
inline std::string problemWithCut(const Assignment& line, const RangeCut& cut) {
    const std::vector<Assignment> pieces = cut.cut ? cut.lines : std::vector{line};
    const uint32_t windowEnd = std::min(line.nEnd, line.nStart / 32 * 32 + 31);
    std::vector<Assignment> window;
    for (size_t i = 0; i < pieces.size(); ++i) {
        const Assignment& p = pieces[i];
        const std::string where = " in " + formatAssignment(p);
        if (checkAssignmentLine(formatAssignment(p)).code != AssignmentStatus::Ready) return "a piece the reader refuses" + where;
        if (p.nStart > windowEnd) {
            if (i + 1 == pieces.size() && p == Assignment{windowEnd + 1, line.nEnd, line.kStart, line.kEnd}) continue;
            return "a piece beyond the first window" + where;
        }
        if (p.nEnd > windowEnd || p.nStart < line.nStart || p.kStart < line.kStart || p.kEnd > line.kEnd)
            return "a piece outside the line's first window" + where;
        if (cutRange(p).cut) return "a piece that is cut again on restart" + where;
        window.push_back(p);
        uint32_t level = 0;  // the word count of its candidates with a kernel, all alike
        for (uint32_t n = p.nStart; n <= p.nEnd; ++n) {
            const OddInterval s = servedOdds(n, p.kStart, p.kEnd);
            if (s.empty()) continue;
            for (const uint32_t w : {wordsOfP(static_cast<uint64_t>(s.lo), n), wordsOfP(static_cast<uint64_t>(s.hi), n)}) {
                if (level != 0 && w != level) return "a piece over two levels" + where;
                level = w;
            }
        }
        if (level == 0) return "a piece without a kernel" + where;
    }
    for (uint32_t n = line.nStart; n <= windowEnd; ++n) {
        const OddInterval whole = servedOdds(n, line.kStart, line.kEnd);
        std::vector<OddInterval> parts;
        for (const Assignment& p : window)
            if (n >= p.nStart && n <= p.nEnd && !servedOdds(n, p.kStart, p.kEnd).empty()) parts.push_back(servedOdds(n, p.kStart, p.kEnd));
        std::sort(parts.begin(), parts.end(), [](auto& a, auto& b) { return a.lo < b.lo; });
        const std::string where = " at n=" + std::to_string(n) + " of " + formatAssignment(line);
        if (whole.empty() != parts.empty()) return (whole.empty() ? "candidates invented" : "candidates lost") + where;
        unsigned __int128 next = whole.lo;
        for (const OddInterval& s : parts) {
            if (s.lo != next) return (s.lo < next ? "candidates in two pieces" : "candidates lost") + where;
            next = s.hi + 2;
        }
        if (!whole.empty() && next != whole.hi + 2) return "candidates lost at the top" + where;
        // Served multipliers lie above the others: those below (or all) are named.
        const auto lastOdd = [](unsigned __int128 k) { return k % 2 == 1 ? k : k - 1; };
        const unsigned __int128 lastUnserved = lastOdd(whole.empty() ? line.kEnd : whole.lo - 2);
        std::vector<Assignment> named;
        for (const Assignment& u : cut.untested)
            if (n >= u.nStart && n <= u.nEnd) named.push_back(u);
        const bool right = (line.kStart | 1) > lastUnserved
                               ? named.empty()
                               : named.size() == 1 && named[0].kStart == line.kStart && lastOdd(named[0].kEnd) == lastUnserved;
        if (!right) return "candidates without a kernel not named, or named wrongly" + where;
    }
    return "";
}

}  // namespace kalvenor::testing
