#include "workfiles/run_state.h"

#include <algorithm>
#include <chrono>

namespace kalvenor {

namespace {
const auto processStart = std::chrono::steady_clock::now();
}

double elapsedMilliseconds() {
    const auto elapsed = std::chrono::steady_clock::now() - processStart;
    return std::chrono::duration<double, std::milli>(elapsed).count();
}

double squaringsOver(double nFrom, double nTo) { return (nFrom + nTo - 2) * (nTo - nFrom + 1) / 2; }

double lineFraction(const RunState& state, uint64_t k) {
    if (state.nEnd < state.nStart || state.kEnd < state.kStart) return 0.0;
    const double total = squaringsOver(state.nStart, state.nEnd);
    if (state.nCurrent > state.nEnd) return 1.0;
    const double width = static_cast<double>(state.kEnd - state.kStart) + 1;  // 2^64 for the widest line
    const double walked = std::clamp(static_cast<double>(k - std::min(k, state.kStart)) / width, 0.0, 1.0);
    const double done = state.nCurrent > state.nStart ? squaringsOver(state.nStart, state.nCurrent - 1.0) : 0.0;
    return std::clamp((done + (state.nCurrent - 1.0) * walked) / total, 0.0, 1.0);
}

}  // namespace kalvenor
