// kalvenor.cpt as a crash, a disk error or a hand edit may leave it. The
// restore must either refuse it or take up a position inside the run; what
// it accepts must survive being written and read again; and it never
// repairs the file it was given.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_scratch.h"
#include "workfiles/assignment_file.h"
#include "workfiles/checkpoint.h"
#include "workfiles/log_files.h"
#include "workfiles/run_state.h"

namespace {

using namespace kalvenor;
using kalvenor::fuzz::fail;

struct Range {
    uint32_t nStart, nEnd;
    uint64_t kStart, kEnd;  // kStart odd, as readAssignment leaves it
};
constexpr Range kRanges[] = {
    {93, 95, 11, 1001},
    {127, 127, 3, 2001},
    {40, 40, 18446744073709551001u, 18446744073709551615u},
    {32, 63, 3, 18446744073709551615u},
    {576, 607, 1, 2},
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    kalvenor::fuzz::enterScratchDirectory();
    const Range& range = kRanges[data[0] % std::size(kRanges)];
    const std::string_view file(reinterpret_cast<const char*>(data) + 1, size - 1);

    fuzz::writeBytes(kCheckpointPath, file);
    fuzz::removeFile(kResultsPath);
    RunState state;
    state.nStart = range.nStart;
    state.nEnd = range.nEnd;
    state.kStart = range.kStart;
    state.kEnd = range.kEnd;
    state.numbers = range.kEnd - range.kStart + 1;
    const int32_t code = restoreCheckpoint(state);
    if (fuzz::readBytes(kCheckpointPath) != file) fail("the restore changed the checkpoint", file);
    if (code == kCheckpointMismatch) return 0;
    if (code != kAssignmentReady) fail("unexpected code", file);

    if (state.kCurrent < state.kStart || state.kCurrent > state.kEnd) fail("kCurrent outside the run", file);
    const bool finished = state.nCurrent == state.nEnd + 1 && state.kCurrent == state.kStart;
    if (state.nCurrent != 0 && !finished && (state.nCurrent < state.nStart || state.nCurrent > state.nEnd))
        fail("nCurrent outside the run", file);

    // What was accepted goes back to the disk and reads back the same.
    const RunState accepted = state;
    state.clockMark = elapsedMilliseconds();
    writeCheckpoint(state, state.kCurrent);
    const std::string written = fuzz::readBytes(kCheckpointPath);
    if (written.empty() || written.back() != '\n') fail("checkpoint written incompletely", written);
    RunState again;
    again.nStart = range.nStart;
    again.nEnd = range.nEnd;
    again.kStart = range.kStart;
    again.kEnd = range.kEnd;
    again.kTested = ~accepted.kTested;  // a key lost on the way would show
    again.factors = ~accepted.factors;
    if (restoreCheckpoint(again) != kAssignmentReady) fail("own checkpoint refused", written);
    if (again.kTested != accepted.kTested || again.factors != accepted.factors)
        fail("own checkpoint reads back differently", written);
    if (!finished && (again.nCurrent != accepted.nCurrent || again.kCurrent != accepted.kCurrent))
        fail("own checkpoint moved", written);
    if (std::isfinite(state.seconds) && std::fabs(state.seconds) < 1e15 &&
        std::fabs(again.seconds - state.seconds) > 0.006)
        fail("own checkpoint lost the time", written);
    return 0;
}
