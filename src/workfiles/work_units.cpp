#include "workfiles/work_units.h"

#include <algorithm>
#include <cmath>
#include <deque>

#include "arith/coverage.h"
#include "kernels/kernel_choice.h"
#include "kernels/kernel_table.h"
#include "workfiles/range_split.h"
#include "workfiles/run_state.h"

namespace kalvenor {

namespace {

using Wide = unsigned __int128;

uint64_t oddMultipliers(const Assignment& a) {
    const uint64_t first = a.kStart | 1;
    return first > a.kEnd ? 0 : (a.kEnd - first) / 2 + 1;
}

int kernelOf(const Assignment& a) {
    const uint64_t k = a.kStart | 1;
    return chooseKernel(a.nStart, wordCountOf(a.nStart, k)).index;
}

// The lines the program runs for `line`, as it would cut them one after
// the other, with the parts it leaves out.
WorkUnits servedParts(const Assignment& line) {
    WorkUnits parts;
    std::deque<Assignment> pending{line};
    while (!pending.empty()) {
        const Assignment next = pending.front();
        pending.pop_front();
        const RangeCut cut = cutRange(next);
        parts.untested.insert(parts.untested.end(), cut.untested.begin(), cut.untested.end());
        // A line the cut hands back whole is run as it stands.
        if (cut.cut && !(cut.lines.size() == 1 && cut.lines[0] == next)) {
            pending.insert(pending.begin(), cut.lines.begin(), cut.lines.end());
            continue;
        }
        if ((!cut.cut || !cut.lines.empty()) && oddMultipliers(next) > 0) {
            if (kernelOf(next) >= 0) parts.units.push_back(next);
            else parts.untested.push_back(next);
        }
    }
    // Neighbouring parts of one exponent may share an even bound; no unit
    // takes a multiplier twice, even one that is never tested.
    for (size_t i = 1; i < parts.units.size(); ++i) {
        Assignment& a = parts.units[i];
        const Assignment& before = parts.units[i - 1];
        if (a.nStart == before.nStart && a.nEnd == before.nEnd && a.kStart == before.kEnd) a.kStart += 1;
    }
    return parts;
}

// `part` cut into `pieces` runs of about as many odd multipliers each; the
// first keeps the part's kStart, the others begin at an odd multiplier.
void cutPart(const Assignment& part, uint64_t pieces, std::vector<Assignment>& units) {
    const uint64_t odd = oddMultipliers(part);
    const uint64_t first = part.kStart | 1;
    uint64_t start = part.kStart;
    for (uint64_t j = 1; j <= pieces; ++j) {
        const auto index = static_cast<uint64_t>(Wide{odd} * j / pieces);  // odd multipliers before piece j + 1
        const uint64_t end = j == pieces ? part.kEnd : first + 2 * index - 1;
        units.push_back({part.nStart, part.nEnd, start, end});
        start = end + 1;
    }
}

}  // namespace

double unitCost(const Assignment& unit) {
    const int kernel = kernelOf(unit);
    if (kernel < 0) return 0.0;
    return static_cast<double>(oddMultipliers(unit)) * squaringsOver(unit.nStart, unit.nEnd) *
           multiplyAddsPerSquaring(kKernels[static_cast<size_t>(kernel)]);
}

WorkUnits cutIntoUnits(const Assignment& line, uint32_t count) {
    WorkUnits parts = servedParts(line);
    std::vector<double> costs;
    double total = 0.0;
    for (const Assignment& part : parts.units) total += costs.emplace_back(unitCost(part));
    // Each part gets its share of the count, rounded up, so no unit costs
    // more than the line's cost over the count.
    std::vector<uint64_t> pieces(parts.units.size());
    uint64_t given = 0;
    for (size_t i = 0; i < pieces.size(); ++i) {
        const double share = total > 0.0 ? costs[i] * count / total : 1.0;
        pieces[i] = std::clamp<uint64_t>(static_cast<uint64_t>(std::ceil(share - 1e-9)), 1, oddMultipliers(parts.units[i]));
        given += pieces[i];
    }
    // Rounding may leave the count short by a unit or two: the parts whose
    // pieces cost most are cut once more.
    while (given < count) {
        size_t widest = pieces.size();
        for (size_t i = 0; i < pieces.size(); ++i) {
            if (pieces[i] >= oddMultipliers(parts.units[i])) continue;
            if (widest == pieces.size() || costs[i] / pieces[i] > costs[widest] / pieces[widest]) widest = i;
        }
        if (widest == pieces.size()) break;  // every piece holds one multiplier
        ++pieces[widest];
        ++given;
    }
    WorkUnits result;
    result.untested = std::move(parts.untested);
    for (size_t i = 0; i < pieces.size(); ++i) cutPart(parts.units[i], pieces[i], result.units);
    return result;
}

}  // namespace kalvenor
