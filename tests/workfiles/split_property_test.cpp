// Whatever line the user writes, each cut of it, window after window, must
// be one the cut checker accepts, and cutting must come to an end; cut into
// work units, it must lose no candidate, take none twice, and spread its
// cost evenly.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "support/cut_checker.h"
#include "workfiles/work_units.h"

namespace kalvenor {
namespace {

using kalvenor::testing::OddInterval;
using kalvenor::testing::servedOdds;

uint64_t randomMultiplier(std::mt19937_64& rng) {
    const uint64_t power = uint64_t{1} << (1 + rng() % 63);
    switch (rng() % 6) {
        case 0: return 2 + rng() % 100;
        case 1: return std::max<uint64_t>(power + rng() % 7 - 3, 2);  // around a power of two
        case 2: return UINT64_MAX - rng() % 6;
        case 3: return std::max<uint64_t>(rng(), 2);
        case 4: return power + rng() % power;
        default: return UINT64_MAX;
    }
}

// Chosen lines (every window's edges, whole ranges) and `randomCount` random ones.
std::vector<Assignment> sampleLines(int randomCount) {
    std::vector<Assignment> inputs = {{32, 607, 2, UINT64_MAX}, {32, 607, 3, 3}, {60, 63, 9, 15},
                                      {60, 63, 9, 1000}, {40, 100, uint64_t{1} << 39, uint64_t{1} << 41}};
    for (uint32_t n = 32; n < 608; n += 32) {  // the edges of every window
        inputs.insert(inputs.end(), {{n, n, UINT64_MAX, UINT64_MAX}, {n, n + 31, UINT64_MAX - 4, UINT64_MAX},
                                     {n, n + 31, 2, UINT64_MAX}, {n, n + 31, 2, 3}, {n + 31, n + 31, 2, UINT64_MAX}});
    }
    std::mt19937_64 rng(20240611);
    for (int i = 0; i < randomCount; ++i) {
        Assignment a{32 + static_cast<uint32_t>(rng() % 576), 0, randomMultiplier(rng), randomMultiplier(rng)};
        a.nEnd = a.nStart + static_cast<uint32_t>(rng() % 3 == 0 ? 0 : rng() % (rng() % 2 ? 32 - a.nStart % 32 : 608 - a.nStart));
        if (a.kStart > a.kEnd) std::swap(a.kStart, a.kEnd);
        if (a.kStart == a.kEnd && a.kStart % 2 == 0) ++a.kEnd;
        inputs.push_back(a);
    }
    return inputs;
}

TEST(SplitProperty, ChosenAndRandomLinesAreCutSoundlyWindowByWindow) {
    for (const Assignment& input : sampleLines(20000)) {
        Assignment line = input;
        for (int windows = 0;; ++windows) {
            ASSERT_LE(windows, 18) << "no end to the cutting of " << formatAssignment(input);
            const RangeCut cut = cutRange(line);
            ASSERT_EQ(testing::problemWithCut(line, cut), "") << "from " << formatAssignment(input);
            if (!cut.cut || cut.lines.empty() || cut.lines.back().nStart / 32 == line.nStart / 32) break;
            line = cut.lines.back();  // the rest of the range, cut when it comes first
        }
    }
}

uint64_t oddCount(uint64_t kStart, uint64_t kEnd) { return (kStart | 1) > kEnd ? 0 : (kEnd - (kStart | 1)) / 2 + 1; }

TEST(WorkUnits, HoldEveryServedCandidateOnceAtAboutEqualCost) {
    std::mt19937_64 rng(7);
    for (const Assignment& line : sampleLines(600)) {
        for (const uint32_t count : {1u, 5u, 64u}) {
            const std::string where = formatAssignment(line) + " in " + std::to_string(count);
            const WorkUnits cut = cutIntoUnits(line, count);
            double total = 0.0;
            for (const Assignment& u : cut.units) total += unitCost(u);
            bool allSingle = true;
            for (const Assignment& u : cut.units) {
                ASSERT_EQ(checkAssignmentLine(formatAssignment(u)).code, AssignmentStatus::Ready) << where;
                ASSERT_FALSE(cutRange(u).cut) << formatAssignment(u) << " would be cut again, from " << where;
                ASSERT_TRUE(u.nStart >= line.nStart && u.nEnd <= line.nEnd && u.kStart >= line.kStart && u.kEnd <= line.kEnd) << where;
                // A unit holds at most one multiplier more than its share.
                const double odd = static_cast<double>(oddCount(u.kStart, u.kEnd));
                ASSERT_LE(unitCost(u) * (odd - 1) / odd, total / count * (1 + 1e-9)) << formatAssignment(u) << " from " << where;
                allSingle &= odd == 1;
            }
            ASSERT_TRUE(cut.units.size() >= count || allSingle) << cut.units.size() << " units from " << where;
            std::vector<uint32_t> exponents = {line.nStart, line.nEnd};
            for (int i = 0; i < 4; ++i) exponents.push_back(line.nStart + static_cast<uint32_t>(rng() % (line.nEnd - line.nStart + 1)));
            for (const uint32_t n : exponents) {
                std::vector<OddInterval> parts;
                uint64_t odds = 0;  // of the units and the parts left out
                for (const Assignment& u : cut.units) {
                    if (n < u.nStart || n > u.nEnd) continue;
                    odds += oddCount(u.kStart, u.kEnd);
                    if (!servedOdds(n, u.kStart, u.kEnd).empty()) parts.push_back(servedOdds(n, u.kStart, u.kEnd));
                }
                for (const Assignment& u : cut.untested) {
                    if (n < u.nStart || n > u.nEnd) continue;
                    odds += oddCount(u.kStart, u.kEnd);
                    ASSERT_TRUE(servedOdds(n, u.kStart, u.kEnd).empty()) << "a part left out has a kernel at n=" << n << ", " << where;
                }
                ASSERT_EQ(odds, oddCount(line.kStart, line.kEnd)) << "candidates lost or doubled at n=" << n << ", " << where;
                std::sort(parts.begin(), parts.end(), [](auto& a, auto& b) { return a.lo < b.lo; });
                const OddInterval whole = servedOdds(n, line.kStart, line.kEnd);
                unsigned __int128 next = whole.lo;
                for (const OddInterval& p : parts) {
                    ASSERT_EQ(p.lo, next) << "served candidates lost or doubled at n=" << n << ", " << where;
                    next = p.hi + 2;
                }
                ASSERT_EQ(whole.empty() ? whole.lo : whole.hi + 2, next) << "candidates lost at the top, n=" << n << ", " << where;
            }
        }
    }
}

}  // namespace
}  // namespace kalvenor
