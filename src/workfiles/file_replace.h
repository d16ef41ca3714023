// Replacing a work file as a whole. The new content goes to a temporary file
// in the same directory, which is flushed to the disk and then renamed over
// the old one, so a full disk or a crash mid-write leaves either the old file
// or the new one, never a truncated mixture. A symbolic link is followed:
// its target is replaced and the link stays.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace kalvenor {

// Returns false, after saying on standard error which step failed and why,
// when the file could not be replaced; `path` is then untouched.
bool replaceFile(const std::string& path, std::string_view bytes);

enum class Replacement { Done, Failed, Changed };

// As replaceFile, for a file others may append to while it is rewritten
// (worktodo.txt): just before the rename the file is read again, and when
// it no longer holds `before` nothing is replaced (Changed), so the caller
// reads it anew and makes its content again. With no `before` it replaces
// unconditionally. `beforeCheck` runs right before that last read, for
// tests that write into the window.
Replacement replaceFileIfUnchanged(const std::string& path, std::optional<std::string_view> before, std::string_view bytes,
                                   const std::function<void()>& beforeCheck = {});

}  // namespace kalvenor
