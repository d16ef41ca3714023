// Cutting a line so one kernel serves each piece: whatever the range, the cut
// must satisfy the cut checker, and the file must come out as the pieces
// followed by the old remainder, byte for byte.
#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_scratch.h"
#include "support/cut_checker.h"
#include "workfiles/assignment_file.h"
#include "workfiles/assignment_line.h"
#include "workfiles/checkpoint.h"
#include "workfiles/log_files.h"
#include "workfiles/range_split.h"
#include "workfiles/run_state.h"

namespace {

using namespace kalvenor;
using kalvenor::fuzz::fail;
uint64_t shaped(uint64_t raw, bool nearPowerOfTwo) {
    if (!nearPowerOfTwo) return raw;
    // Most cuts happen at kLow and kHigh, powers of two: land near them often.
    const int bit = static_cast<int>(raw & 63);
    const auto offset = static_cast<int64_t>(static_cast<int16_t>(raw >> 8));
    return (uint64_t{1} << bit) + static_cast<uint64_t>(offset);
}

uint64_t take64(const uint8_t* data) {
    uint64_t v;
    std::memcpy(&v, data, sizeof v);
    return v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    constexpr size_t kHeader = 21;
    if (size < kHeader) return 0;
    kalvenor::fuzz::enterScratchDirectory();

    const uint8_t mode = data[0];
    const uint32_t spanRaw = data[3] | (data[4] << 8);
    Assignment line;
    line.nStart = 32 + (data[1] | (data[2] << 8)) % 576;
    // Mostly short spans, which stay within one or two windows.
    const uint32_t room = 608 - line.nStart;
    line.nEnd = line.nStart + (mode & 4 ? spanRaw % room : spanRaw % std::min<uint32_t>(room, 40));
    uint64_t kStart = shaped(take64(data + 5), mode & 1);
    uint64_t kEnd = shaped(take64(data + 13), mode & 2);
    if (kStart > kEnd) std::swap(kStart, kEnd);
    if (mode & 8) kEnd = kStart + (kEnd & 0xFFFF);  // narrow ranges too
    if (kEnd < kStart) kEnd = UINT64_MAX;
    if (kStart < 2) kStart = 2;
    if (kEnd < kStart) kEnd = kStart;
    if (kStart == kEnd && kStart % 2 == 0) kEnd = kStart + 1;
    line.kStart = kStart;
    line.kEnd = kEnd;

    const RangeCut cut = cutRange(line);
    if (const std::string problem = testing::problemWithCut(line, cut); !problem.empty()) fail(problem.c_str());

    // Through the file, as the program does it, where the first piece runs
    // (a line with nothing to run goes, and the bytes behind it come next).
    if (cut.cut && (cut.lines.empty() || cutRange(cut.lines.front()).cut)) return 0;
    const std::vector<Assignment>& pieces = cut.cut ? cut.lines : std::vector<Assignment>{};
    const std::string_view remainder(reinterpret_cast<const char*>(data) + kHeader, size - kHeader);
    const std::string first = (mode & 16 ? "\xEF\xBB\xBF" : "") + formatAssignment(line);
    const std::string before = first + std::string(remainder);
    fuzz::writeFile("worktodo.txt", before);
    std::remove(kCheckpointPath);
    std::remove(kResultsPath);
    RunState state;
    if (readAssignment("worktodo.txt", state) != AssignmentStatus::Ready) fail("line refused", before);
    const std::string after = fuzz::readFile("worktodo.txt");
    std::string expected;
    for (const Assignment& p : pieces) expected += formatAssignment(p);
    expected = pieces.empty() ? before : expected + std::string(remainder);
    if (after != expected) fail("file after the cut", after);
    const Assignment runNow = pieces.empty() ? line : pieces.front();
    if (state.nStart != runNow.nStart || state.nEnd != runNow.nEnd ||
        state.kStart != (runNow.kStart | 1) || state.kEnd != runNow.kEnd)
        fail("state is not the new first line", after);
    if (state.nCurrent != state.nStart || state.kCurrent != state.kStart) fail("fresh start", after);
    return 0;
}
