#include "workfiles/number_reading.h"

#include <cctype>

namespace kalvenor {

namespace {

int digitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'z') return c - 'a' + 10;
    if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
    return 99;
}

}  // namespace

NumberRead readUnsigned(const char* text, int base, unsigned bits) {
    const uint64_t maximum = bits >= 64 ? UINT64_MAX : (uint64_t{1} << bits) - 1;
    NumberRead result;
    result.end = text;

    const char* p = text;
    while (std::isspace(static_cast<unsigned char>(*p))) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    if (base == 0 || base == 16) {
        // "0x" counts as a prefix only when a hex digit follows; otherwise the
        // "0" alone is the number, as the library reads it.
        if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && digitValue(p[2]) < 16) {
            p += 2;
            base = 16;
        } else if (base == 0) {
            base = p[0] == '0' ? 8 : 10;
        }
    }

    uint64_t magnitude = 0;
    const char* digits = p;
    for (; digitValue(*p) < base; ++p) {
        const uint64_t digit = static_cast<uint64_t>(digitValue(*p));
        if (!result.overflow &&
            (magnitude > (maximum - digit) / static_cast<uint64_t>(base))) {
            result.overflow = true;
        }
        if (!result.overflow) magnitude = magnitude * static_cast<uint64_t>(base) + digit;
    }
    if (p == digits) return result;  // no digits: 0, nothing consumed

    result.end = p;
    result.negative = negative;
    if (result.overflow) {
        result.value = maximum;
    } else {
        result.value = negative ? (maximum - magnitude + 1) & maximum : magnitude;
    }
    return result;
}

}  // namespace kalvenor
