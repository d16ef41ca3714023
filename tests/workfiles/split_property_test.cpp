// Whatever line the user writes, cutting it over and over until no cut is
// needed must leave lines that each lie in one window and one word count,
// that together cover exactly the candidates some kernel serves, and that
// carry the rest of the file along unchanged.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <map>
#include <optional>
#include <random>

#include "kernels/kernel_choice.h"
#include "support/test_support.h"
#include "workfiles/assignment_file.h"
#include "workfiles/assignment_reading.h"
#include "workfiles/range_split.h"
#include "workfile_helpers.h"

namespace kalvenor {
namespace {

using namespace std::string_literals;

struct OddRange {
    uint64_t lo;  // both odd, lo <= hi
    uint64_t hi;
};

std::optional<OddRange> oddsOf(uint64_t kStart, uint64_t kEnd) {
    const uint64_t lo = kStart % 2 == 0 ? kStart + 1 : kStart;
    const uint64_t hi = kEnd % 2 == 0 ? kEnd - 1 : kEnd;
    if (kEnd == 0 || lo > hi) return std::nullopt;
    return OddRange{lo, hi};
}

std::optional<OddRange> intersect(std::optional<OddRange> a, std::optional<OddRange> b) {
    if (!a || !b) return std::nullopt;
    const OddRange r{std::max(a->lo, b->lo), std::min(a->hi, b->hi)};
    if (r.lo > r.hi) return std::nullopt;
    return r;
}

// The odd multipliers whose P has a word count with a kernel at exponent n:
// q+2 or q+3, and only q+2 in the window 576 ... 607.
OddRange kernelRange(uint32_t n) {
    const uint32_t q = n / 32;
    const uint32_t headroom = 32 * (q + 1) - n;
    const uint64_t lo = (uint64_t{1} << headroom) + 1;
    uint64_t hi = UINT64_MAX;
    if (q == 18 && headroom < 32) hi = (uint64_t{1} << (headroom + 32)) - 1;
    return {lo, hi};
}

TEST(SplitProperty, KernelRangeAgreesWithTheWordCount) {
    for (uint32_t n = 32; n <= 607; ++n) {
        const uint32_t q = n / 32;
        const OddRange r = kernelRange(n);
        EXPECT_EQ(wordCountOf(n, r.lo), q + 2) << n;
        EXPECT_EQ(wordCountOf(n, r.lo - 2), q + 1) << n;
        if (r.hi != UINT64_MAX) {
            EXPECT_EQ(wordCountOf(n, r.hi), q + 2) << n;
            EXPECT_EQ(wordCountOf(n, r.hi + 2), q + 3) << n;
        } else {
            EXPECT_LE(wordCountOf(n, r.hi), q == 18 ? q + 2 : q + 3) << n;
        }
    }
}

// Checks the lines that were run for `input` against the candidates of input.
void checkRunLines(const Assignment& input, const std::vector<Assignment>& runs) {
    SCOPED_TRACE("input " + formatAssignment(input));
    const std::optional<OddRange> inputOdds = oddsOf(input.kStart, input.kEnd);
    ASSERT_TRUE(inputOdds);
    auto windowHasKernel = [&](uint32_t q) {
        for (uint32_t n = std::max(input.nStart, 32 * q); n <= std::min(input.nEnd, 32 * q + 31); ++n)
            if (intersect(inputOdds, kernelRange(n))) return true;
        return false;
    };

    std::map<uint32_t, std::vector<OddRange>> covered;
    for (const Assignment& run : runs) {
        SCOPED_TRACE("run line " + formatAssignment(run));
        ASSERT_GE(run.nStart, input.nStart);
        ASSERT_LE(run.nEnd, input.nEnd);
        ASSERT_LE(run.nStart, run.nEnd);
        ASSERT_EQ(run.nStart / 32, run.nEnd / 32) << "one window";
        const std::optional<OddRange> odds = oddsOf(run.kStart, run.kEnd);
        ASSERT_TRUE(odds) << "a line without candidates";
        const uint32_t words = wordCountOf(run.nStart, odds->lo);
        bool anyKernel = false;
        for (uint32_t n = run.nStart; n <= run.nEnd; ++n) {
            ASSERT_EQ(wordCountOf(n, odds->lo), words) << "one word count, n = " << n;
            ASSERT_EQ(wordCountOf(n, odds->hi), words) << "one word count, n = " << n;
            if (const auto served = intersect(odds, kernelRange(n))) {
                anyKernel = true;
                covered[n].push_back(*served);
            }
        }
        // A line no kernel serves is left only where its whole window part
        // has nothing to run; the kernel choice then refuses it.
        if (!anyKernel) {
            EXPECT_FALSE(windowHasKernel(run.nStart / 32)) << "candidates dropped";
        }
    }

    for (uint32_t n = input.nStart; n <= input.nEnd; ++n) {
        std::vector<OddRange>& pieces = covered[n];
        std::sort(pieces.begin(), pieces.end(), [](auto& a, auto& b) { return a.lo < b.lo; });
        const std::optional<OddRange> expected = intersect(inputOdds, kernelRange(n));
        if (!expected) {
            EXPECT_TRUE(pieces.empty()) << "n = " << n << " has nothing to run";
            continue;
        }
        ASSERT_FALSE(pieces.empty()) << "n = " << n << " not run";
        EXPECT_EQ(pieces.front().lo, expected->lo) << "n = " << n;
        EXPECT_EQ(pieces.back().hi, expected->hi) << "n = " << n;
        for (size_t i = 1; i < pieces.size(); ++i) {
            EXPECT_EQ(pieces[i].lo, pieces[i - 1].hi + 2) << "gap or overlap at n = " << n;
        }
    }
}

// What the program does to a file holding `input`, with the file kept in
// memory: the first line of each cut is run at once, the others wait.
std::vector<Assignment> runAllLines(const Assignment& input) {
    std::vector<Assignment> runs;
    std::deque<Assignment> file{input};
    for (int guard = 0; !file.empty(); ++guard) {
        if (guard > 100000) {
            ADD_FAILURE() << "no end to the cutting of " << formatAssignment(input);
            break;
        }
        const Assignment first = file.front();
        file.pop_front();
        const std::vector<Assignment> cut = splitRange(first);
        if (cut.empty()) {
            runs.push_back(first);
            continue;
        }
        for (const Assignment& line : cut) {
            const LineVerdict verdict = checkAssignmentLine(formatAssignment(line));
            EXPECT_EQ(verdict.code, 0) << formatAssignment(line) << " from " << formatAssignment(first);
            EXPECT_EQ(verdict.values, line);
        }
        EXPECT_TRUE(splitRange(cut.front()).empty())
            << "the line run right after the cut needs another: " << formatAssignment(cut.front());
        runs.push_back(cut.front());
        file.insert(file.begin(), cut.begin() + 1, cut.end());
    }
    return runs;
}

uint64_t randomMultiplier(std::mt19937_64& rng) {
    const auto power = [&] { return uint64_t{1} << (1 + rng() % 63); };
    uint64_t k = UINT64_MAX, p = 0;
    switch (rng() % 6) {
        case 0: k = 2 + rng() % 100; break;
        case 1: p = power(); k = p + rng() % 7 - 3; break;  // around a power of two
        case 2: k = UINT64_MAX - rng() % 6; break;
        case 3: k = rng(); break;
        case 4: p = power(); k = p + rng() % p; break;
    }
    return std::max<uint64_t>(k, 2);
}

Assignment randomLine(std::mt19937_64& rng) {
    Assignment a;
    a.nStart = 32 + static_cast<uint32_t>(rng() % 576);
    switch (rng() % 3) {
        case 0: a.nEnd = a.nStart; break;
        case 1: a.nEnd = a.nStart + static_cast<uint32_t>(rng() % (32 - a.nStart % 32)); break;
        default: a.nEnd = a.nStart + static_cast<uint32_t>(rng() % (608 - a.nStart)); break;
    }
    const uint64_t x = randomMultiplier(rng), y = randomMultiplier(rng);
    a.kStart = std::min(x, y);
    a.kEnd = std::max(x, y);
    if (a.kStart == a.kEnd && a.kStart % 2 == 0) ++a.kEnd;
    return a;
}

TEST(SplitProperty, ChosenAndRandomLinesAreCoveredExactly) {
    std::vector<Assignment> inputs = {{32, 607, 2, UINT64_MAX}, {32, 607, 3, 3}, {60, 63, 9, 15},
                                      {60, 63, 9, 1000}, {40, 100, uint64_t{1} << 39, uint64_t{1} << 41}};
    for (uint32_t n = 32; n < 608; n += 32) {  // the edges of every window
        inputs.insert(inputs.end(), {{n, n, UINT64_MAX, UINT64_MAX}, {n, n + 31, UINT64_MAX, UINT64_MAX},
                                     {n, n + 31, UINT64_MAX - 4, UINT64_MAX}, {n, n + 31, 2, UINT64_MAX},
                                     {n, n + 31, 2, 3}, {n + 31, n + 31, 2, UINT64_MAX}});
    }
    std::mt19937_64 rng(20240611);
    for (int i = 0; i < 20000; ++i) inputs.push_back(randomLine(rng));
    for (const Assignment& input : inputs) {
        checkRunLines(input, runAllLines(input));
        if (::testing::Test::HasFailure()) return;
    }
}

// The same through the file: each line is read, cut, run (removed), until
// only the lines that were behind the input are left, unchanged.
TEST(SplitProperty, RandomLinesThroughTheFileKeepTheRemainder) {
    const std::string remainder =
        "FermatFactor=33,33,3,5\r\n\0binary\xff\n# note\n" + std::string(150, 'z') + "\nno newline"s;
    // Every cut costs a flushed rewrite, so fewer and narrower lines than above.
    std::vector<Assignment> inputs = {{32, 40, UINT64_MAX, UINT64_MAX},
                                      {60, 63, 9, 15},
                                      {60, 63, 9, 1000},
                                      {40, 100, uint64_t{1} << 39, uint64_t{1} << 41},
                                      {570, 607, 2, UINT64_MAX}};
    std::mt19937_64 rng(77);
    for (int i = 0; i < 40; ++i) {
        Assignment input = randomLine(rng);
        input.nEnd = std::min(input.nEnd, input.nStart + 40);
        inputs.push_back(input);
    }

    testing::ScratchDir dir;
    for (const Assignment& input : inputs) {
        SCOPED_TRACE(formatAssignment(input));
        testing::writeFile("worktodo.txt", formatAssignment(input) + remainder);
        std::vector<Assignment> runs;
        for (int guard = 0; testing::readFile("worktodo.txt") != remainder; ++guard) {
            ASSERT_LT(guard, 100000);
            RunState state;
            int32_t code = -1;
            testing::capturedStdout([&] { code = readAndSplitAssignment("worktodo.txt", state); });
            ASSERT_EQ(code, kAssignmentReady) << testing::readFile("worktodo.txt");
            const std::string afterCut = testing::readFile("worktodo.txt");

            RunState again;
            testing::capturedStdout([&] { readAndSplitAssignment("worktodo.txt", again); });
            EXPECT_EQ(testing::readFile("worktodo.txt"), afterCut) << "the run line is cut again";
            EXPECT_EQ(std::tuple(again.nStart, again.kStart), std::tuple(state.nStart, state.kStart));

            runs.push_back({state.nStart, state.nEnd, state.kStart, state.kEnd});
            ASSERT_EQ(removeFirstLine("worktodo.txt"), kAssignmentReady);
        }
        checkRunLines(input, runs);
        if (::testing::Test::HasFailure()) return;
    }
}

}  // namespace
}  // namespace kalvenor
