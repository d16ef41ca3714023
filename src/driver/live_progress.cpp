#include "driver/live_progress.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>

#include "common/text_format.h"

namespace kalvenor {

namespace {

constexpr double kRefreshMilliseconds = 3000.0;

std::string durationText(double seconds) {
    if (!std::isfinite(seconds) || seconds > 99 * 86400.0) return "?";
    const auto s = static_cast<uint64_t>(seconds);
    if (s >= 86400) return formatText("%" PRIu64 "d %02" PRIu64 "h", s / 86400, s % 86400 / 3600);
    if (s >= 3600) return formatText("%" PRIu64 "h %02" PRIu64 "m", s / 3600, s % 3600 / 60);
    return formatText("%" PRIu64 "m %02" PRIu64 "s", s / 60, s % 60);
}

}  // namespace

std::string progressText(const RunState& state, uint64_t k, double rate) {
    const double fraction = lineFraction(state, k);
    // The rate holds for this exponent; later ones cost in proportion to n - 1.
    const double width = static_cast<double>(state.kEnd - state.kStart) + 1;
    const double secondsPerSquaringRow = rate > 0.0 ? width / rate / (state.nCurrent - 1.0) : INFINITY;
    const double left = (1.0 - fraction) * squaringsOver(state.nStart, state.nEnd) * secondsPerSquaringRow;
    return formatText("n=%" PRIu32 "  %5.1f%% of the line  %.3g k/s  %s left", state.nCurrent, 100.0 * fraction, rate,
                      durationText(left).c_str());
}

void LiveProgress::update(const RunState& state, uint64_t k) {
    if (!enabled_) return;
    const double now = elapsedMilliseconds();
    if (state.nCurrent != exponent_ || k < startK_) {
        exponent_ = state.nCurrent;
        startTime_ = now;
        startK_ = k;
        return;  // a rate needs two batches
    }
    // Made way for a message: back at once, below it, rather than seconds later.
    if ((!redraw_ && now - lastShown_ < kRefreshMilliseconds) || now <= startTime_) return;
    const double rate = static_cast<double>(k - startK_) / ((now - startTime_) / 1000.0);
    std::fprintf(out_, "\r%s\033[K", progressText(state, k, rate).c_str());
    std::fflush(out_);
    shown_ = true;
    redraw_ = false;
    lastShown_ = now;
}

void LiveProgress::clear() {
    if (!shown_) return;
    std::fputs("\r\033[K", out_);
    std::fflush(out_);
    shown_ = false;
    redraw_ = true;
}

}  // namespace kalvenor
