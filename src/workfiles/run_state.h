// The state of the assignment being run: the range (always the first line of
// worktodo.txt after any cut), how far it has got, and the tallies its summary
// lines report. The assignment loop owns it and hands it down.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "workfiles/assignment_line.h"
#include "workfiles/work_paths.h"

namespace kalvenor {

// An exponent of the line run to its end: how many survivors it tested and
// the checksum of their residues (arith/residue_checksum.h), unknown where
// part of it ran under a version that kept none.
struct ExponentCount {
    uint32_t n = 0;
    uint64_t tested = 0;
    std::optional<uint64_t> checksum = uint64_t{0};
    bool operator==(const ExponentCount&) const = default;
};

struct FoundFactor {
    uint32_t n = 0;
    uint64_t k = 0;
    bool operator==(const FoundFactor&) const = default;
};

struct RunState {
    WorkPaths paths;  // where this run's files are; kept over every line
    Assignment line;  // the first line of worktodo.txt as it stands (kStart as written)
    // the range
    uint32_t nStart = 0;
    uint32_t nEnd = 0;
    uint64_t kStart = 0;  // odd once readAssignment has accepted the line
    uint64_t kEnd = 0;
    // the progress
    uint32_t nCurrent = 0;
    uint64_t kCurrent = 0;
    uint64_t kTested = 0;
    std::optional<uint64_t> checksum = uint64_t{0};  // of the kTested residues; unknown as above
    // the tallies
    double seconds = 0.0;    // time spent on the current exponent
    int32_t factors = 0;     // factors found in the current range
    uint64_t numbers = 0;    // kEnd - kStart + 1, modulo 2^64
    double clockMark = 0.0;  // milliseconds since start at the last time mark
    double rate = 0.0;
    // What the line's record will say, kept in the checkpoint so a restart
    // neither loses nor repeats any of it.
    std::vector<ExponentCount> exponentsDone;  // in order
    std::vector<FoundFactor> found;            // up to the walk position, as found
    // The sieve depth (odd primes) the line is sieved with: its checkpoint's,
    // or the run's once it starts. Every exponent of a line is sieved alike,
    // so its record's counts are those of one depth.
    std::optional<uint32_t> sievePrimes;
    // Wall-clock seconds (the sieve's clock) at the line's last checkpoint,
    // or where its run here began; unset until the first exponent starts.
    // Kept across the exponents, so that a line of short ones gets its
    // checkpoint once a minute like a long one.
    std::optional<int64_t> checkpointClock = std::nullopt;
};

// The squarings one multiplier takes over exponents nFrom..nTo, n - 1 each:
// how the cost of a range grows with n.
double squaringsOver(double nFrom, double nTo);

// How much of the line is done when exponent nCurrent has reached k, from
// 0 to 1: an exponent costs its multipliers times its n - 1 squarings.
double lineFraction(const RunState& state, uint64_t k);

// Wall-clock milliseconds since the process started (a steady clock, so a
// change of the system time never makes an interval negative).
double elapsedMilliseconds();

}  // namespace kalvenor
