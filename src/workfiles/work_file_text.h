// How the work files are read: whole, as bytes (a NUL in the middle must
// neither hide the rest of a line nor shorten what is copied back), in lines
// of at most 99 characters as the 100-byte line buffers of the format allow.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace kalvenor {

inline constexpr size_t kLineLimit = 99;

// The whole file, or nothing (errno set) when it cannot be opened or read.
std::optional<std::string> readWholeFile(const std::string& path);

// worktodo.txt, whole; nothing when it cannot be read, after saying why
// with the system's reason (as for its absence).
std::optional<std::string> readWorkFile(const std::string& path);

// Editors on some systems put EF BB BF in front of a UTF-8 file; without this
// the first line would lack its keyword and be thrown away.
size_t byteOrderMarkLength(std::string_view bytes);

// The length of the line that starts `text`: through its first newline, but
// at most kLineLimit characters; what follows a cut is the next line.
size_t lineLength(std::string_view text);

}  // namespace kalvenor
