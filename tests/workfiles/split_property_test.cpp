// Whatever line the user writes, each cut of it, window after window, must
// be one the cut checker accepts, and cutting must come to an end.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "support/cut_checker.h"

namespace kalvenor {
namespace {

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

TEST(SplitProperty, ChosenAndRandomLinesAreCutSoundlyWindowByWindow) {
    std::vector<Assignment> inputs = {{32, 607, 2, UINT64_MAX}, {32, 607, 3, 3}, {60, 63, 9, 15},
                                      {60, 63, 9, 1000}, {40, 100, uint64_t{1} << 39, uint64_t{1} << 41}};
    for (uint32_t n = 32; n < 608; n += 32) {  // the edges of every window
        inputs.insert(inputs.end(), {{n, n, UINT64_MAX, UINT64_MAX}, {n, n + 31, UINT64_MAX - 4, UINT64_MAX},
                                     {n, n + 31, 2, UINT64_MAX}, {n, n + 31, 2, 3}, {n + 31, n + 31, 2, UINT64_MAX}});
    }
    std::mt19937_64 rng(20240611);
    for (int i = 0; i < 20000; ++i) {
        Assignment a{32 + static_cast<uint32_t>(rng() % 576), 0, randomMultiplier(rng), randomMultiplier(rng)};
        a.nEnd = a.nStart + static_cast<uint32_t>(rng() % 3 == 0 ? 0 : rng() % (rng() % 2 ? 32 - a.nStart % 32 : 608 - a.nStart));
        if (a.kStart > a.kEnd) std::swap(a.kStart, a.kEnd);
        if (a.kStart == a.kEnd && a.kStart % 2 == 0) ++a.kEnd;
        inputs.push_back(a);
    }
    for (const Assignment& input : inputs) {
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

}  // namespace
}  // namespace kalvenor
