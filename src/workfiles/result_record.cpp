#include "workfiles/result_record.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <optional>
#include <string>
#include <vector>

#include "arith/reference_powmod.h"
#include "common/text_format.h"
#include "workfiles/log_files.h"

namespace kalvenor {

namespace {

// The line as it stands in worktodo.txt, without its newline. It holds
// only the keyword, digits and commas, so it needs no escaping.
std::string lineText(const Assignment& line) {
    std::string text = formatAssignment(line);
    text.pop_back();
    return text;
}

// A refused line may hold anything: quotes, control characters, bytes of no
// valid UTF-8. Every byte outside printable ASCII is escaped, so the record
// stays one line of valid JSON whatever the line held.
std::string jsonText(std::string_view text) {
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') out += {'\\', c};
        else if (byte < 0x20 || byte >= 0x7f) out += formatText("\\u%04x", byte);
        else out += c;
    }
    return out;
}

}  // namespace

std::string completeRecord(const RunState& state, const SieveUsed& sieve) {
    std::string exponents;
    for (const ExponentCount& e : state.exponentsDone) {
        const std::string checksum = e.checksum ? formatText("\"%016" PRIx64 "\"", *e.checksum) : std::string("null");
        exponents += formatText("%s{\"n\":%" PRIu32 ",\"tested\":%" PRIu64 ",\"checksum\":%s}", exponents.empty() ? "" : ",",
                                e.n, e.tested, checksum.c_str());
    }
    std::vector<FoundFactor> found = state.found;
    std::sort(found.begin(), found.end(), [](const FoundFactor& a, const FoundFactor& b) {
        return a.n != b.n ? a.n < b.n : a.k < b.k;
    });
    // A factor found again after a restart from an older checkpoint is one factor.
    found.erase(std::unique(found.begin(), found.end()), found.end());
    std::string factors;
    for (const FoundFactor& f : found) {
        const std::optional<uint32_t> m = fermatIndexOf(f.k, f.n);
        factors += formatText("%s{\"factor\":\"%" PRIu64 "*2^%" PRIu32 "+1\",\"m\":%s}", factors.empty() ? "" : ",", f.k, f.n,
                              m ? std::to_string(*m).c_str() : "null");
    }
    return formatText("{\"line\":\"%s\",\"sievePrimes\":%" PRIu32 ",\"exponents\":[%s],\"factors\":[%s],\"status\":\"complete\"}\n",
                      lineText(state.line).c_str(), sieve.primeCount, exponents.c_str(), factors.c_str());
}

std::string refusedRecord(std::string_view line, std::string_view reason) {
    return formatText("{\"line\":\"%s\",\"exponents\":[],\"factors\":[],\"status\":\"refused\",\"reason\":\"%s\"}\n",
                      jsonText(line).c_str(), jsonText(reason).c_str());
}

std::string noKernelRecord(const Assignment& part) {
    return formatText("{\"line\":\"%s\",\"exponents\":[],\"factors\":[],\"status\":\"no kernel\"}\n",
                      lineText(part).c_str());
}

bool appendRecord(const std::string& path, const std::string& record) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    bool unterminated = false;
    if (fd >= 0) {
        struct stat info {};
        std::string tail(record.size(), '\0');
        const bool sized = ::fstat(fd, &info) == 0;
        const bool repeated = sized && info.st_size >= static_cast<off_t>(record.size()) &&
                              ::pread(fd, tail.data(), tail.size(), info.st_size - static_cast<off_t>(record.size())) ==
                                  static_cast<ssize_t>(tail.size()) &&
                              tail == record;
        // A file edited by hand may end without its newline: the record
        // glued onto that line would spoil both, and the check above.
        char last = '\n';
        unterminated = !repeated && sized && info.st_size > 0 && ::pread(fd, &last, 1, info.st_size - 1) == 1 && last != '\n';
        ::close(fd);
        if (repeated) return true;
    }
    return appendToLog(path, unterminated ? "\n" + record : record);
}

}  // namespace kalvenor
