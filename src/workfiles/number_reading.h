// The number conversions of the work files, with the C library's strtoul /
// strtoull rules but a width chosen by the caller: the n fields and the
// 32-bit checkpoint values must wrap and saturate at 32 bits even where
// unsigned long has 64.
#pragma once

#include <cstdint>

namespace kalvenor {

struct NumberRead {
    uint64_t value = 0;
    const char* end = nullptr;  // first character not converted; the text itself when no digits
    bool overflow = false;      // the magnitude did not fit: value is the width's maximum
    bool negative = false;      // a '-' stood before the digits
};

// Optional white space, optional '+' or '-', digits in `base` (2..36, or 0 for
// "0x" hexadecimal, leading-"0" octal, else decimal). A '-' negates modulo
// 2^bits; a magnitude beyond 2^bits - 1 yields 2^bits - 1 and sets overflow.
// Stops at the first NUL, like the library functions.
NumberRead readUnsigned(const char* text, int base, unsigned bits);

}  // namespace kalvenor
