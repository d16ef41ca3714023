#include <cinttypes>
#include <cstdio>
#include <optional>

#include "workfiles/assignment_file.h"
#include "workfiles/checkpoint.h"
#include "workfiles/file_replace.h"
#include "workfiles/work_file_text.h"

namespace kalvenor {

namespace {

// What a rewrite that found the file changed under it returns: the caller
// reads the file again and takes the line out of what it holds now.
constexpr std::optional<AssignmentStatus> kFileChanged = std::nullopt;

// Replaces the file, read as `file`, by `before` and `after` around a line taken out.
std::optional<AssignmentStatus> rewriteWithout(const std::string& path, const std::string& file, std::string_view before,
                                               std::string_view after) {
    const std::string content = std::string(before).append(after);
    const Replacement replaced = replaceFileIfUnchanged(path, file, content);
    if (replaced == Replacement::Changed) return kFileChanged;
    if (replaced == Replacement::Failed) return AssignmentStatus::WriteFailed;
    return content.empty() ? AssignmentStatus::FileEmpty : AssignmentStatus::Ready;
}

std::optional<AssignmentStatus> tryRemoveFirstLine(const std::string& path) {
    const std::optional<std::string> file = readWorkFile(path);
    if (!file) return AssignmentStatus::Unreadable;
    if (file->empty()) return AssignmentStatus::FileEmpty;
    const std::string_view text = std::string_view(*file).substr(byteOrderMarkLength(*file));
    return rewriteWithout(path, *file, {}, text.substr(firstLine(text).size()));
}

}  // namespace

AssignmentStatus removeFirstLine(const std::string& path, const std::string& checkpointPath) {
    // Usually there is none. One naming its line is left for the next read
    // to judge: it may be the progress of a line further down.
    const std::optional<std::string> checkpoint = readWholeFile(checkpointPath);
    if (checkpoint && !checkpoint->starts_with("line    =") && checkpoint->find("\nline    =") == std::string::npos)
        std::remove(checkpointPath.c_str());
    std::optional<AssignmentStatus> status;
    while (!(status = tryRemoveFirstLine(path))) {
    }
    return *status;
}

namespace {

std::optional<AssignmentStatus> tryRemoveLine(const std::string& path, const Assignment& line) {
    const std::optional<std::string> file = readWorkFile(path);
    if (!file) return AssignmentStatus::Unreadable;
    // Someone may have added or removed lines above it during the run: the
    // first line with its values is the one that was run.
    const std::string_view text = std::string_view(*file).substr(byteOrderMarkLength(*file));
    for (size_t at = 0; at < text.size();) {
        const std::string_view candidate = firstLine(text.substr(at));
        const LineVerdict verdict = checkAssignmentLine(candidate);
        if (verdict.code == AssignmentStatus::Ready && verdict.values == line)
            return rewriteWithout(path, *file, text.substr(0, at), text.substr(at + candidate.size()));
        at += candidate.size();
    }
    const std::string finished = formatAssignment(line);
    std::printf("\nThe finished line %.*s is no longer in worktodo.txt; no line was removed.\n",
                static_cast<int>(finished.size() - 1), finished.c_str());
    return text.empty() ? AssignmentStatus::FileEmpty : AssignmentStatus::Ready;
}

AssignmentStatus removeLine(const std::string& path, const Assignment& line) {
    std::optional<AssignmentStatus> status;
    while (!(status = tryRemoveLine(path, line))) {
    }
    return *status;
}

}  // namespace

AssignmentStatus removeFinishedLine(const std::string& path, const Assignment& line, const std::string& checkpointPath) {
    // The checkpoint goes after the line, not before: a kill in between
    // would leave the line without its progress, to be run again from its
    // start. Left behind, it names the finished line and is dropped as obsolete.
    const AssignmentStatus status = removeLine(path, line);
    if (status != AssignmentStatus::WriteFailed && status != AssignmentStatus::Unreadable) std::remove(checkpointPath.c_str());
    return status;
}

}  // namespace kalvenor
