// The conversions must behave like strtoul on a 32-bit unsigned long and
// strtoull, whatever the width of unsigned long on the build machine.
#include <gtest/gtest.h>

#include "workfiles/number_reading.h"

namespace kalvenor {
namespace {

struct ConversionCase {
    const char* text;
    int base;
    unsigned bits;
    uint64_t value;
    size_t consumed;  // characters up to the end of the digits
    bool overflow;
};

class NumberReading : public ::testing::TestWithParam<ConversionCase> {};

TEST_P(NumberReading, MatchesTheLibraryRules) {
    const ConversionCase& c = GetParam();
    const NumberRead read = readUnsigned(c.text, c.base, c.bits);
    EXPECT_EQ(read.value, c.value) << '"' << c.text << '"';
    EXPECT_EQ(static_cast<size_t>(read.end - c.text), c.consumed) << '"' << c.text << '"';
    EXPECT_EQ(read.overflow, c.overflow) << '"' << c.text << '"';
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NumberReading,
    ::testing::Values(
        ConversionCase{"127", 10, 32, 127, 3, false},
        ConversionCase{" \t\v\f\r\n42,", 10, 32, 42, 8, false},
        ConversionCase{"+7x", 10, 32, 7, 2, false},
        ConversionCase{"", 10, 32, 0, 0, false},
        ConversionCase{"  ,5", 10, 32, 0, 0, false},  // no digits: nothing consumed
        ConversionCase{"-", 10, 64, 0, 0, false},
        ConversionCase{"4294967295", 10, 32, 4294967295u, 10, false},
        ConversionCase{"4294967296", 10, 32, 4294967295u, 10, true},
        ConversionCase{"-1", 10, 32, 4294967295u, 2, false},
        ConversionCase{"-4294967233", 10, 32, 63, 11, false},
        ConversionCase{"-4294967296", 10, 32, 4294967295u, 11, true},  // saturates, sign or not
        ConversionCase{"-0", 10, 32, 0, 2, false},
        ConversionCase{"18446744073709551615", 10, 64, UINT64_MAX, 20, false},
        ConversionCase{"18446744073709551616", 10, 64, UINT64_MAX, 20, true},
        ConversionCase{"-1", 10, 64, UINT64_MAX, 2, false},
        ConversionCase{"-3", 10, 64, UINT64_MAX - 2, 2, false},
        ConversionCase{"000000000000000000000000000000000000000000063", 10, 32, 63, 45, false},
        ConversionCase{"99999999999999999999999999999999999999999999999999", 10, 64, UINT64_MAX, 50,
                       true},
        ConversionCase{"0x2a", 10, 32, 0, 1, false},  // base 10 knows no prefix
        ConversionCase{"0x2a", 0, 32, 42, 4, false},
        ConversionCase{"0X2A", 0, 64, 42, 4, false},
        ConversionCase{"0xg", 0, 32, 0, 1, false},  // "0x" without hex digit: just the 0
        ConversionCase{"0145", 0, 64, 101, 4, false},
        ConversionCase{"0189", 0, 64, 1, 2, false},  // octal stops at 8
        ConversionCase{"0", 0, 32, 0, 1, false},
        ConversionCase{"-0x10", 0, 32, 4294967280u, 5, false},
        ConversionCase{"0x100000000", 0, 32, 4294967295u, 11, true},
        ConversionCase{"12\0" "34", 10, 32, 12, 2, false}));  // NUL ends the text

}  // namespace
}  // namespace kalvenor
