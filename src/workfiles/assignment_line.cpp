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
NumberRead readNextField(const char*& cursor, unsigned bits) {
    if (cursor == nullptr) return {};
    const char* comma = std::strchr(cursor, ',');
    if (comma == nullptr) {
        cursor = nullptr;
        return {};
    }
    const NumberRead field = readUnsigned(skipSpace(comma + 1), 10, bits);
    cursor = field.end;
    return field;
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

    Assignment& a = verdict.values;
    const NumberRead nStart = readUnsigned(skipSpace(p + keywordLength), 10, 32);
    const char* cursor = nStart.end;
    a.nStart = static_cast<uint32_t>(nStart.value);
    const NumberRead nEnd = readNextField(cursor, 32);
    a.nEnd = static_cast<uint32_t>(nEnd.value);
    if (a.nStart < kMinExponent || a.nEnd > kMaxExponent || nStart.negative || nEnd.negative) {
        verdict.code = AssignmentStatus::BadValues;
        verdict.message = kNRangeMessage;
        return verdict;
    }
    if (a.nEnd < a.nStart) {
        verdict.code = AssignmentStatus::BadValues;
        verdict.message = kNEndMessage;
        return verdict;
    }

    const NumberRead kStart = readNextField(cursor, 64);
    const NumberRead kEnd = readNextField(cursor, 64);
    a.kStart = kStart.value;
    a.kEnd = kEnd.value;
    if (a.kStart < 2 || kStart.overflow || kEnd.overflow || kStart.negative || kEnd.negative) {
        verdict.code = AssignmentStatus::BadValues;
        verdict.message = kKRangeMessage;
        return verdict;
    }
    if (a.kEnd < a.kStart || (a.kEnd == a.kStart && a.kStart % 2 == 0)) {
        verdict.code = AssignmentStatus::BadValues;
        verdict.message = kKEndMessage;
        return verdict;
    }
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
