// Whole-file reads and writes for the tests and fuzz targets.
#pragma once

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>

namespace kalvenor::testing {

inline std::string readFile(const std::filesystem::path& path) {  // "" when missing
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    if (in) s << in.rdbuf();
    return s.str();
}

inline void writeFile(const std::filesystem::path& path, std::string_view bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

inline bool fileExists(const std::filesystem::path& path) { return std::filesystem::exists(path); }

}  // namespace kalvenor::testing
