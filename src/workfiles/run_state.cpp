#include "workfiles/run_state.h"

#include <chrono>

namespace kalvenor {

namespace {
const auto processStart = std::chrono::steady_clock::now();
}

double elapsedMilliseconds() {
    const auto elapsed = std::chrono::steady_clock::now() - processStart;
    return std::chrono::duration<double, std::milli>(elapsed).count();
}

}  // namespace kalvenor
