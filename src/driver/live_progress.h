// The status line on a terminal: exponent, share of the line, rate and time
// left, rewritten in place every few seconds. Off the terminal (a log file,
// a pipe, a batch system) it writes nothing, so those outputs stay as they
// were.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "workfiles/run_state.h"

namespace kalvenor {

class LiveProgress {
public:
    explicit LiveProgress(bool enabled, std::FILE* out = stdout) : enabled_(enabled), out_(out) {}

    // After a batch: exponent nCurrent has reached k.
    void update(const RunState& state, uint64_t k);
    // Erases the status line before any other message, so that none starts
    // after it or has a line of its own erased by it; the next update draws
    // it again, below the message.
    void clear();

private:
    bool enabled_;
    std::FILE* out_;
    bool shown_ = false;
    bool redraw_ = false;
    double lastShown_ = -1e18;  // milliseconds
    uint32_t exponent_ = 0;     // the rate is measured from the first batch of this exponent
    double startTime_ = 0.0;
    uint64_t startK_ = 0;
};

// "n=36  41.7% of the line  1.25e+09 k/s  1h 02m left"
std::string progressText(const RunState& state, uint64_t k, double rate);

}  // namespace kalvenor
