// The program's version, as the start-up block and every result record say it.
#pragma once

namespace kalvenor {

inline constexpr const char* kVersionText = "2.018";

}  // namespace kalvenor
