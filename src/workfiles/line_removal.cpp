#include <cstdio>
#include <cstdlib>

#include "workfiles/assignment_file.h"
#include "workfiles/checkpoint.h"
#include "workfiles/file_replace.h"
#include "workfiles/work_file_text.h"

namespace kalvenor {

int32_t removeFirstLine(const std::string& path) {
    std::remove(kCheckpointPath);  // usually there is none

    const std::string bytes = readWorkFileOrExit(path);
    const std::string_view text = std::string_view(bytes).substr(byteOrderMarkLength(bytes));
    const std::string_view remainder = text.substr(lineLength(text));
    if (remainder.empty()) {
        if (bytes.empty()) return kWorkFileEmpty;
        return replaceFile(path, "") ? kWorkFileEmpty : kWorkFileWriteFailed;
    }
    return replaceFile(path, remainder) ? kAssignmentReady : kWorkFileWriteFailed;
}

}  // namespace kalvenor
