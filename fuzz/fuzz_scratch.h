// What every fuzz target needs: its own scratch directory to work in (the
// work files have fixed names in the current directory), quiet consoles, and
// whole-file reads and writes that never end the process.
#pragma once

#include <string>
#include <string_view>

namespace kalvenor::fuzz {

// Moves into a fresh temporary directory and sends standard output to
// /dev/null (the readers print a message for every line they judge). Safe to
// call on every input; only the first call does anything.
void enterScratchDirectory();

void writeBytes(const char* path, std::string_view bytes);
std::string readBytes(const char* path);  // "" when missing
void removeFile(const char* path);

// Stops the run with a message on standard error; libFuzzer saves the input.
[[noreturn]] void fail(const char* what, std::string_view detail = {});

}  // namespace kalvenor::fuzz
