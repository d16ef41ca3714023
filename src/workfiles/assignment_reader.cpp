#include <cstdio>

#include "workfiles/assignment_file.h"
#include "workfiles/assignment_line.h"
#include "workfiles/assignment_reading.h"
#include "workfiles/checkpoint.h"
#include "workfiles/file_replace.h"
#include "workfiles/log_files.h"
#include "workfiles/range_split.h"
#include "workfiles/result_record.h"
#include "workfiles/work_file_text.h"

namespace kalvenor {

AssignmentStatus readAndSplitAssignment(const std::string& path, RunState& state) {
    const WorkPaths paths = state.paths;
    state = RunState{};
    state.paths = paths;
    // Each cut either settles the first line or takes it a window further
    // (or away), so this ends after at most one pass per window and line.
    while (true) {
        const std::optional<std::string> file = readWorkFile(path);
        if (!file) return AssignmentStatus::Unreadable;
        const std::string_view text = std::string_view(*file).substr(byteOrderMarkLength(*file));
        const std::string_view line = firstLine(text);
        if (line.empty()) return AssignmentStatus::NoAssignment;
        if (visibleLength(line) > kLineLimit) return AssignmentStatus::LineTooLong;

        const LineVerdict verdict = checkAssignmentLine(line);
        if (verdict.code != AssignmentStatus::Ready) {
            if (verdict.message != nullptr) std::printf("%s", verdict.message);
            return verdict.code;
        }
        const RangeCut cut = cutRange(verdict.values);
        if (!cut.cut) {
            const Assignment& a = verdict.values;
            state.line = a;
            state.nStart = a.nStart;
            state.nEnd = a.nEnd;
            state.kStart = a.kStart | 1;
            state.kEnd = a.kEnd;
            return AssignmentStatus::Ready;
        }
        std::string content;
        for (const Assignment& piece : cut.lines) content += formatAssignment(piece);
        content.append(text.substr(line.size()));  // a byte-order mark in front is not carried over
        const Replacement replaced = replaceFileIfUnchanged(path, *file, content);
        if (replaced == Replacement::Failed) return AssignmentStatus::WriteFailed;
        if (replaced == Replacement::Changed) continue;  // cut what the file holds now
        for (const Assignment& part : cut.untested) {
            const std::string message = untestedMessage(part);
            std::printf("\n%s", message.c_str());
            appendToLog(state.paths.results, timeStamp() + message);
            appendRecord(state.paths.records, noKernelRecord(part));
        }
        std::fflush(stdout);
    }
}

AssignmentStatus readAssignment(const std::string& path, RunState& state) {
    const AssignmentStatus code = readAndSplitAssignment(path, state);
    if (code != AssignmentStatus::Ready) return code;
    return restoreCheckpoint(state);
}

}  // namespace kalvenor
