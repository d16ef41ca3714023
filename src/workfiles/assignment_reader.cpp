#include <cstdio>

#include "workfiles/assignment_file.h"
#include "workfiles/assignment_line.h"
#include "workfiles/assignment_reading.h"
#include "workfiles/checkpoint.h"
#include "workfiles/work_file_text.h"

namespace kalvenor {

AssignmentStatus readAndSplitAssignment(const std::string& path, RunState& state) {
    state.nStart = state.nEnd = 0;
    state.kStart = state.kEnd = 0;
    state.nCurrent = 0;
    state.kCurrent = 0;

    const std::optional<std::string> file = readWorkFile(path);
    if (!file) return AssignmentStatus::Unreadable;
    const std::string& bytes = *file;
    const std::string_view text = std::string_view(bytes).substr(byteOrderMarkLength(bytes));
    const size_t length = lineLength(text);
    if (length == 0) return AssignmentStatus::NoAssignment;

    const LineVerdict verdict = checkAssignmentLine(text.substr(0, length));
    if (verdict.code != AssignmentStatus::Ready) {
        if (verdict.message != nullptr) std::printf("%s", verdict.message);
        return verdict.code;
    }
    state.nStart = verdict.values.nStart;
    state.nEnd = verdict.values.nEnd;
    state.kStart = verdict.values.kStart;
    state.kEnd = verdict.values.kEnd;

    const AssignmentStatus split = splitAssignment(path, text.substr(length), state);
    if (split != AssignmentStatus::Ready) return split;
    if (state.kStart % 2 == 0) ++state.kStart;
    return AssignmentStatus::Ready;
}

AssignmentStatus readAssignment(const std::string& path, RunState& state) {
    const AssignmentStatus code = readAndSplitAssignment(path, state);
    if (code != AssignmentStatus::Ready) return code;
    return restoreCheckpoint(state);
}

}  // namespace kalvenor
