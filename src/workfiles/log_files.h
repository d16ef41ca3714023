// Appends to the log files results.txt and factors.txt. Each append opens,
// writes, flushes to the disk and closes the file; a record is written whole
// or not at all, and a failure is said on standard error with the reason,
// never silently dropped.
#pragma once

#include <string>

#include "workfiles/work_paths.h"

namespace kalvenor {


// The ctime text of the current local time: 24 characters and a newline.
std::string timeStamp();

// Appends `text` to `path`; returns false (after saying why on standard
// error, and with the file as it was) when it could not be written whole.
bool appendToLog(const std::string& path, const std::string& text);

}  // namespace kalvenor
