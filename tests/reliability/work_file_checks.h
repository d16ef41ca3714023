// What a worktodo.txt and a kalvenor.cpt may look like at any moment of a
// run, interrupted or not: checks shared by the reliability tests.
#pragma once

#include <cinttypes>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "support/test_support.h"
#include "workfiles/assignment_line.h"
#include "workfiles/range_split.h"

namespace kalvenor::testing {

// The lines a file that started as `originals` may hold later: the originals
// and every piece that cutting them (and cutting the pieces) can produce,
// each tagged with the original it came from.
class AllowedLines {
public:
    explicit AllowedLines(const std::vector<Assignment>& originals) : count_(originals.size()) {
        for (size_t i = 0; i < originals.size(); ++i) {
            add(originals[i], i);
            originalText_.push_back(formatAssignment(originals[i]));
        }
    }

    // "" when `file` is a possible state, else what is wrong with it. The
    // lines are whole, each is known, the pieces of one original come
    // together and in order, and every original not yet begun is still
    // there, word for word.
    std::string problemWith(const std::string& file) const {
        if (file.empty()) return "";
        if (file.back() != '\n') return "the last line is incomplete: " + file;
        std::vector<size_t> origins;
        std::vector<std::string> lines;
        for (size_t at = 0; at < file.size();) {
            const size_t end = file.find('\n', at) + 1;
            lines.push_back(file.substr(at, end - at));
            at = end;
        }
        for (const std::string& line : lines) {
            const auto known = origin_.find(line);
            if (known == origin_.end()) return "a line no cut produces: " + line + "in\n" + file;
            if (!origins.empty() && known->second < origins.back()) return "lines out of order:\n" + file;
            origins.push_back(known->second);
        }
        for (size_t later = origins.front() + 1; later < count_; ++later) {
            size_t times = 0;
            for (const std::string& line : lines) times += line == originalText_[later];
            if (times != 1) return "the waiting line " + originalText_[later] + "is lost or doubled:\n" + file;
        }
        return "";
    }

private:
    void add(const Assignment& line, size_t origin) {
        if (!origin_.emplace(formatAssignment(line), origin).second) return;
        for (const Assignment& piece : splitRange(line)) add(piece, origin);
    }

    size_t count_;
    std::map<std::string, size_t> origin_;
    std::vector<std::string> originalText_;
};

struct CheckpointValues {
    uint32_t nCurrent = 0;
    uint64_t kCurrent = 0;
    uint64_t kTested = 0;
    double seconds = 0.0;
    int32_t factors = 0;
};

// The checkpoint as the program writes it: five whole lines, every key,
// in order, with a number each. Anything else means a torn or mixed write.
inline std::optional<CheckpointValues> parseCheckpoint(const std::string& text) {
    static const std::regex format(
        "nCurrent=([0-9]+)\nkCurrent=([0-9]+)\nkTested =([0-9]+)\nseconds =(-?[0-9]+\\.[0-9][0-9])\n"
        "factors =(-?[0-9]+)\n");
    std::smatch match;
    if (!std::regex_match(text, match, format)) return std::nullopt;
    CheckpointValues values;
    values.nCurrent = static_cast<uint32_t>(std::stoul(match[1]));
    values.kCurrent = std::stoull(match[2]);
    values.kTested = std::stoull(match[3]);
    values.seconds = std::stod(match[4]);
    values.factors = static_cast<int32_t>(std::stol(match[5]));
    return values;
}

// "" when there is no checkpoint or it is whole.
inline std::string checkpointProblem(const std::filesystem::path& path) {
    if (!fileExists(path)) return "";
    const std::string text = readFile(path);
    return parseCheckpoint(text) ? "" : "a damaged checkpoint:\n" + text;
}

}  // namespace kalvenor::testing
