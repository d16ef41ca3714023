#include "workfiles/assignment_file.h"
#include "workfiles/assignment_reading.h"
#include "workfiles/file_replace.h"
#include "workfiles/range_split.h"

namespace kalvenor {

AssignmentStatus splitAssignment(const std::string& path, std::string_view remainder, RunState& state) {
    const std::vector<Assignment> lines =
        splitRange({state.nStart, state.nEnd, state.kStart, state.kEnd});
    if (lines.empty()) return AssignmentStatus::Ready;  // the file stays as it is, to the byte

    std::string content;
    for (const Assignment& line : lines) content += formatAssignment(line);
    content.append(remainder);  // a byte-order mark in front is not carried over
    if (!replaceFile(path, content)) return AssignmentStatus::WriteFailed;

    const Assignment& runNow = lines.front();
    state.nStart = runNow.nStart;
    state.nEnd = runNow.nEnd;
    state.kStart = runNow.kStart;
    state.kEnd = runNow.kEnd;
    return AssignmentStatus::Ready;
}

}  // namespace kalvenor
