// One "FermatFactor=nStart,nEnd,kStart,kEnd" line: its values and the checks
// that decide whether it can be run.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "workfiles/assignment_status.h"

namespace kalvenor {

struct Assignment {
    uint32_t nStart = 0;
    uint32_t nEnd = 0;
    uint64_t kStart = 0;
    uint64_t kEnd = 0;

    bool operator==(const Assignment&) const = default;
};

inline constexpr const char* kAssignmentKeyword = "FermatFactor=";

inline constexpr const char* kNRangeMessage =
    "\nThe values of n must be in the range from nMin = 32 to nMax = 607.\n";
inline constexpr const char* kNEndMessage =
    "\nThe ending value for n (nEnd) was not set or less than the starting value of n (nStart).\n";
inline constexpr const char* kKRangeMessage =
    "\nThe values of k must be in the range from kMin = 3 to kMax = 2^64-1.\n";
inline constexpr const char* kKEndMessage =
    "\nThe ending value for k (kEnd) was not set or less than the starting value of k (kStart).\n";
inline constexpr const char* kNoOddMessage =
    "\nThe range of k holds no odd multiplier (kStart = kEnd is even), and only odd k are tested.\n";
inline constexpr const char* kNotANumberMessages[] = {
    "\nThe starting value of n (nStart) is missing or not a number.\n",
    "\nThe ending value of n (nEnd) is missing or not a number.\n",
    "\nThe starting value of k (kStart) is missing or not a number.\n",
    "\nThe ending value of k (kEnd) is missing or not a number.\n",
};
inline constexpr const char* kTrailingTextMessage = "\nThe line goes on after the ending value for k (kEnd).\n";

struct LineVerdict {
    AssignmentStatus code = AssignmentStatus::Ready;  // or BlankLine, NoKeyword, BadValues
    const char* message = nullptr;                    // what to print for BadValues
    Assignment values;              // as read; kStart not yet made odd
};

// Judges one line as read. A NUL ends the text, as it would for the C
// conversions the format is defined by; a negative number is out of range,
// and nothing but blanks may follow kEnd.
LineVerdict checkAssignmentLine(std::string_view line);

// The line as this program writes it, newline included.
std::string formatAssignment(const Assignment& line);

}  // namespace kalvenor
