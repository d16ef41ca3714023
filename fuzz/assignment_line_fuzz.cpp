// The first line of worktodo.txt as a searcher's editor may leave it: the
// verdict on any bytes must be one of the four, an accepted line must hold
// values the kernels can run and survive being written back, and reading the
// file must leave everything behind the first line exactly as it was.
#include <cstddef>
#include <cstdio>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_scratch.h"
#include "workfiles/assignment_file.h"
#include "workfiles/assignment_line.h"
#include "workfiles/assignment_reading.h"
#include "workfiles/checkpoint.h"
#include "workfiles/run_state.h"
#include "workfiles/work_file_text.h"

namespace {

using namespace kalvenor;
using kalvenor::fuzz::fail;

void checkVerdict(std::string_view line) {
    const LineVerdict verdict = checkAssignmentLine(line);
    switch (verdict.code) {
        case AssignmentStatus::Ready: {
            const Assignment& a = verdict.values;
            if (a.nStart < 32 || a.nEnd > 607 || a.nEnd < a.nStart) fail("accepted n out of range", line);
            if (a.kStart < 2 || a.kEnd < a.kStart) fail("accepted k out of range", line);
            if (a.kStart == a.kEnd && a.kStart % 2 == 0) fail("accepted a range without odd k", line);
            const std::string written = formatAssignment(a);
            if (written.size() > kLineLimit) fail("written line too long for the reader", written);
            const LineVerdict again = checkAssignmentLine(written.substr(0, written.size() - 1));
            if (again.code != AssignmentStatus::Ready || !(again.values == a))
                fail("written line reads back differently", written);
            break;
        }
        case AssignmentStatus::BadValues:
            if (verdict.message == nullptr) fail("bad values without a message", line);
            break;
        case AssignmentStatus::BlankLine:
        case AssignmentStatus::NoKeyword:
            break;
        default:
            fail("unknown verdict", line);
    }
}

// Where the first line ends in the file as this program reads it.
std::string_view restAfterFirstLine(std::string_view file) {
    if (file.starts_with("\xEF\xBB\xBF")) file.remove_prefix(3);
    const size_t newline = file.substr(0, kLineLimit).find('\n');
    const size_t length = newline == std::string_view::npos ? std::min(file.size(), kLineLimit) : newline + 1;
    return file.substr(length);
}

void checkFile(std::string_view bytes) {
    std::remove(kCheckpointPath);
    fuzz::writeFile("worktodo.txt", bytes);
    RunState state;
    const AssignmentStatus code = readAndSplitAssignment("worktodo.txt", state);
    const std::string after = fuzz::readFile("worktodo.txt");
    const std::string_view rest = restAfterFirstLine(bytes);
    switch (code) {
        case AssignmentStatus::Ready:
            if (state.kStart % 2 == 0 || state.kStart > state.kEnd || state.nStart > state.nEnd)
                fail("state of an accepted line", bytes);
            if (after != bytes && !std::string_view(after).ends_with(rest))
                fail("rewrite lost what followed the first line", bytes);
            break;
        case AssignmentStatus::NoAssignment:
            if (!rest.empty()) fail("no line in a file with lines", bytes);
            [[fallthrough]];
        case AssignmentStatus::BlankLine:
        case AssignmentStatus::NoKeyword:
        case AssignmentStatus::BadValues:
            if (after != bytes) fail("a rejected line changed the file", bytes);
            break;
        default:
            fail("unexpected code from reading the file", bytes);
    }
    if (code == AssignmentStatus::NoAssignment) return;

    const AssignmentStatus removed = removeFirstLine("worktodo.txt");
    const std::string left = fuzz::readFile("worktodo.txt");
    if (removed == AssignmentStatus::FileEmpty ? !left.empty() : removed != AssignmentStatus::Ready)
        fail("removing the first line", bytes);
    if (left != restAfterFirstLine(after)) fail("removal changed what followed", bytes);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kalvenor::fuzz::enterScratchDirectory();
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    checkVerdict(bytes);
    checkVerdict(bytes.substr(0, kLineLimit));
    checkFile(bytes);
    return 0;
}
