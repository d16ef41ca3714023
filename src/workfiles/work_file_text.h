// How the work files are read: whole, as bytes (a NUL in the middle must
// neither hide the rest of a line nor shorten what is copied back), line by
// line. An assignment line holds at most kLineLimit characters and its
// newline; a longer one is removed whole rather than read in pieces.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace kalvenor {

inline constexpr size_t kLineLimit = 98;

// Work files are small; anything larger than this is not one.
inline constexpr size_t kLargestWorkFile = size_t{64} << 20;

// The whole file, or nothing (errno set) when it cannot be opened or read,
// is not a regular file (EINVAL; a FIFO or a device would never end) or is
// larger than kLargestWorkFile (EFBIG).
std::optional<std::string> readWholeFile(const std::string& path);

// worktodo.txt, whole; nothing when it cannot be read or is no plain text
// (UTF-16, as some editors save it), after saying why and that the file was
// left as it is.
std::optional<std::string> readWorkFile(const std::string& path);

// Editors on some systems put EF BB BF in front of a UTF-8 file; without this
// the first line would lack its keyword and be thrown away.
size_t byteOrderMarkLength(std::string_view bytes);

// The line that starts `text`, through its first newline (or to the end).
std::string_view firstLine(std::string_view text);

// The characters of a line, without its line end (LF or CRLF).
size_t visibleLength(std::string_view line);

}  // namespace kalvenor
