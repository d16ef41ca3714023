// printf-style formatting into a string of exactly the length needed: values
// read back from files (a checkpoint's seconds may be 1e300, printed as 301
// digits) can make a line longer than any fixed buffer would hold.
#pragma once

#include <cstdio>
#include <string>

namespace kalvenor {

template <class... Values>
std::string formatText(const char* pattern, Values... values) {
    const int length = std::snprintf(nullptr, 0, pattern, values...);
    if (length <= 0) return {};
    std::string text(static_cast<size_t>(length), '\0');
    std::snprintf(text.data(), text.size() + 1, pattern, values...);
    return text;
}

}  // namespace kalvenor
