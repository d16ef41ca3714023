#include "workfiles/assignment_line.h"

#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "arith/coverage.h"
#include "workfiles/number_reading.h"

namespace kalvenor {

namespace {

const char* skipSpace(const char* p) {
    while (std::isspace(static_cast<unsigned char>(*p))) ++p;
    return p;
}

// Reads the field behind the next comma from `cursor`. Without a comma the
// field and all later ones are empty (0) and nothing beyond the line is read.
// `notANumber` is set where the field is there but starts with no digit.
NumberRead readNextField(const char*& cursor, unsigned bits, bool& notANumber) {
    if (cursor == nullptr) return {};
    const char* comma = std::strchr(cursor, ',');
    if (comma == nullptr) {
        cursor = nullptr;
        return {};
    }
    const char* start = skipSpace(comma + 1);
    const NumberRead field = readUnsigned(start, 10, bits);
    notANumber = field.end == start;
    cursor = field.end;
    return field;
}

LineVerdict refused(LineVerdict verdict, const char* message) {
    verdict.code = AssignmentStatus::BadValues;
    verdict.message = message;
    return verdict;
}

}  // namespace

LineVerdict checkAssignmentLine(std::string_view line) {
    const std::string text(line);  // NUL-terminated for the C-style scanning below
    LineVerdict verdict;

    // A NUL is no white space: a line holding one is not blank.
    const char* p = skipSpace(text.c_str());
    if (p == text.c_str() + text.size()) {
        verdict.code = AssignmentStatus::BlankLine;
        return verdict;
    }
    const size_t keywordLength = std::strlen(kAssignmentKeyword);
    if (std::strncmp(p, kAssignmentKeyword, keywordLength) != 0) {
        verdict.code = AssignmentStatus::NoKeyword;
        return verdict;
    }

    // A field that is there but holds no number is named as such: read as
    // 0 it would be blamed on a range it never tried to give.
    Assignment& a = verdict.values;
    bool notANumber[4] = {};
    const char* nStartText = skipSpace(p + keywordLength);
    const NumberRead nStart = readUnsigned(nStartText, 10, 32);
    notANumber[0] = nStart.end == nStartText;
    const char* cursor = nStart.end;
    a.nStart = static_cast<uint32_t>(nStart.value);
    const NumberRead nEnd = readNextField(cursor, 32, notANumber[1]);
    a.nEnd = static_cast<uint32_t>(nEnd.value);
    const NumberRead kStart = readNextField(cursor, 64, notANumber[2]);
    const NumberRead kEnd = readNextField(cursor, 64, notANumber[3]);
    a.kStart = kStart.value;
    a.kEnd = kEnd.value;
    for (int field = 0; field < 4; ++field)
        if (notANumber[field]) return refused(verdict, kNotANumberMessages[field]);
    if (a.nStart < kMinExponent || a.nEnd > kMaxExponent || nStart.negative || nEnd.negative)
        return refused(verdict, kNRangeMessage);
    if (a.nEnd < a.nStart) return refused(verdict, kNEndMessage);
    if (a.kStart < 2 || kStart.overflow || kEnd.overflow || kStart.negative || kEnd.negative)
        return refused(verdict, kKRangeMessage);
    if (a.kEnd == a.kStart && a.kStart % 2 == 0) return refused(verdict, kNoOddMessage);
    if (a.kEnd < a.kStart) return refused(verdict, kKEndMessage);
    if (cursor != nullptr && *skipSpace(cursor) != '\0') {  // a comment, a fifth number, a unit...
        verdict.code = AssignmentStatus::BadValues;
        verdict.message = kTrailingTextMessage;
    }
    return verdict;
}

std::string formatAssignment(const Assignment& line) {
    char buffer[100];
    const int length = std::snprintf(buffer, sizeof buffer, "%s%u,%u,%" PRIu64 ",%" PRIu64 "\n",
                                     kAssignmentKeyword, line.nStart, line.nEnd, line.kStart,
                                     line.kEnd);
    return std::string(buffer, static_cast<size_t>(length));
}

}  // namespace kalvenor
