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
            if (visibleLength(written) > kLineLimit) fail("written line too long for the reader", written);
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

// What follows the first line of a file as this program reads it.
std::string_view restAfterFirstLine(std::string_view file) {
    if (file.starts_with("\xEF\xBB\xBF")) file.remove_prefix(3);
    return file.substr(firstLine(file).size());
}

// Whether reading could have made `after` of `before`: it only replaces the
// first line by lines of its own writing (pieces of it) or takes it away,
// and reads on; so `after` is such lines followed by what followed one of
// the first lines of `before`.
bool madeByReading(std::string_view before, std::string_view after) {
    for (std::string_view line = firstLine(after); !line.empty(); line = firstLine(after)) {
        const LineVerdict verdict = checkAssignmentLine(line);
        if (verdict.code != AssignmentStatus::Ready || formatAssignment(verdict.values) != line) break;
        after.remove_prefix(line.size());
    }
    for (std::string_view rest = restAfterFirstLine(before);; rest = rest.substr(firstLine(rest).size())) {
        if (rest == after) return true;
        if (rest.empty()) return false;
    }
}

void checkFile(std::string_view bytes) {
    std::remove(kCheckpointPath);
    fuzz::writeFile("worktodo.txt", bytes);
    RunState state;
    // The notes of refused lines and untested parts are not what is checked
    // here, and a synced append per input would slow the search to a crawl.
    state.paths.results = state.paths.records = "/dev/null";
    const AssignmentStatus code = readAndSplitAssignment("worktodo.txt", state);
    const std::string after = fuzz::readFile("worktodo.txt");
    switch (code) {
        case AssignmentStatus::Ready:
            if (state.kStart % 2 == 0 || state.kStart > state.kEnd || state.nStart > state.nEnd)
                fail("state of an accepted line", bytes);
            break;
        case AssignmentStatus::NoAssignment:
            if (!restAfterFirstLine(after).empty()) fail("no line in a file with lines", bytes);
            break;
        case AssignmentStatus::FileEmpty:  // the parts no kernel serves were all the file held
            if (!after.empty()) fail("an emptied file with lines", bytes);
            break;
        case AssignmentStatus::Unreadable:  // UTF-16, as read or once lines before it were taken away
            if (after != bytes && !madeByReading(bytes, after)) fail("a refused file changed", bytes);
            return;
        case AssignmentStatus::BlankLine:
        case AssignmentStatus::NoKeyword:
        case AssignmentStatus::BadValues:
        case AssignmentStatus::LineTooLong:
            break;
        default:
            fail("unexpected code from reading the file", bytes);
    }
    if (after != bytes && !madeByReading(bytes, after)) fail("reading changed more than the first lines", bytes);
    if (code == AssignmentStatus::NoAssignment || code == AssignmentStatus::FileEmpty) return;

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
    checkVerdict(firstLine(bytes));
    checkFile(bytes);
    return 0;
}
