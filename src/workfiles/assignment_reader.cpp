#include <algorithm>
#include <cstdio>
#include <string>

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

namespace {

// Why the first line is refused, as its record gives it, or "" for a line
// that is not refused (a blank line is no work and leaves no trace).
std::string refusalReason(AssignmentStatus code, const char* message) {
    switch (code) {
        case AssignmentStatus::LineTooLong: return "longer than any assignment (more than 98 characters)";
        case AssignmentStatus::NoKeyword: return "it does not begin with FermatFactor= (case-sensitive)";
        case AssignmentStatus::BadValues: {
            std::string why = message != nullptr ? message : "values out of range";
            std::erase(why, '\n');
            return why;
        }
        default: return "";
    }
}

// Notes in results.txt and results.jsonl what leaves worktodo.txt without
// being run, before it leaves: a crash in between then leaves the line and
// its notes, and the next run writes the record again only where it is not
// already the last (a repeat of the note in results.txt does no harm). The
// line stays where the record cannot be written, or it would vanish without one.
bool noteBeforeRemoval(const WorkPaths& paths, const std::string& log, const std::string& records) {
    appendToLog(paths.results, log);  // the log is for reading: a failure there is said, not fatal
    if (appendRecord(paths.records, records)) return true;
    std::fprintf(stderr, "kalvenor: the record of a line leaving worktodo.txt could not be written; the line stays\n");
    return false;
}

}  // namespace

AssignmentStatus readAndSplitAssignment(const std::string& path, RunState& state) {
    const WorkPaths paths = state.paths;
    state = RunState{};
    state.paths = paths;
    bool rewritten = false;
    // Each cut either settles the first line or takes it a window further
    // (or away), so this ends after at most one pass per window and line.
    while (true) {
        const std::optional<std::string> file = readWorkFile(path);
        if (!file) return AssignmentStatus::Unreadable;
        const std::string_view text = std::string_view(*file).substr(byteOrderMarkLength(*file));
        const std::string_view line = firstLine(text);
        // Emptied by a cut of this run: every line it took out is noted, as
        // it is when a finished line empties the file.
        if (line.empty()) return rewritten ? AssignmentStatus::FileEmpty : AssignmentStatus::NoAssignment;
        LineVerdict verdict;
        if (visibleLength(line) > kLineLimit) verdict.code = AssignmentStatus::LineTooLong;
        else verdict = checkAssignmentLine(line);
        if (verdict.code != AssignmentStatus::Ready) {
            if (verdict.message != nullptr) std::printf("%s", verdict.message);
            if (const std::string why = refusalReason(verdict.code, verdict.message); !why.empty()) {
                const std::string_view shown = line.substr(0, std::min(visibleLength(line), kLineLimit));
                const std::string note = timeStamp() + "Refused the line " + std::string(shown) + ": " + why + "\n";
                if (!noteBeforeRemoval(state.paths, note, refusedRecord(shown, why))) return AssignmentStatus::WriteFailed;
            }
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
        // All of one cut's notes go in one append each, so that the check
        // for a repeated record covers them all.
        std::string log, records;
        for (const Assignment& part : cut.untested) {
            const std::string message = untestedMessage(part);
            std::printf("\n%s", message.c_str());
            log += timeStamp() + message;
            records += noKernelRecord(part);
        }
        std::fflush(stdout);
        if (!records.empty() && !noteBeforeRemoval(state.paths, log, records)) return AssignmentStatus::WriteFailed;
        const Replacement replaced = replaceFileIfUnchanged(path, *file, content);
        if (replaced == Replacement::Failed) return AssignmentStatus::WriteFailed;
        // Cut what the file holds now; notes written again are the same
        // records in one append, which the repeated-record check drops.
        if (replaced == Replacement::Changed) continue;
        rewritten = true;
    }
}

AssignmentStatus readAssignment(const std::string& path, RunState& state) {
    const AssignmentStatus code = readAndSplitAssignment(path, state);
    if (code != AssignmentStatus::Ready) return code;
    return restoreCheckpoint(state);
}

}  // namespace kalvenor
