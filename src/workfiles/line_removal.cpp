#include <cstdio>

#include "workfiles/assignment_file.h"
#include "workfiles/checkpoint.h"
#include "workfiles/file_replace.h"
#include "workfiles/work_file_text.h"

namespace kalvenor {

AssignmentStatus removeFirstLine(const std::string& path) {
    std::remove(kCheckpointPath);  // usually there is none

    const std::optional<std::string> file = readWorkFile(path);
    if (!file) return AssignmentStatus::Unreadable;
    const std::string& bytes = *file;
    const std::string_view text = std::string_view(bytes).substr(byteOrderMarkLength(bytes));
    const std::string_view remainder = text.substr(lineLength(text));
    if (remainder.empty()) {
        if (bytes.empty()) return AssignmentStatus::FileEmpty;
        return replaceFile(path, "") ? AssignmentStatus::FileEmpty : AssignmentStatus::WriteFailed;
    }
    return replaceFile(path, remainder) ? AssignmentStatus::Ready : AssignmentStatus::WriteFailed;
}

}  // namespace kalvenor
