// Replacing a work file as a whole. The new content goes to a temporary file
// in the same directory, which is flushed to the disk and then renamed over
// the old one, so a full disk or a crash mid-write leaves either the old file
// or the new one, never a truncated mixture. A symbolic link is followed:
// its target is replaced and the link stays.
#pragma once

#include <string>
#include <string_view>

namespace kalvenor {

// Returns false, after saying on standard error which step failed and why,
// when the file could not be replaced; `path` is then untouched.
bool replaceFile(const std::string& path, std::string_view bytes);

}  // namespace kalvenor
