// kalvenor.cpt as a crash, a disk error or a hand edit may leave it. The
// restore must either refuse it or take up a position inside the run; what
// it accepts must survive being written and read again; and it never
// repairs the file it was given.
#include <cmath>
#include <cstddef>
#include <cstdio>
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

// Ranges as readAssignment leaves them (kStart odd).
const RunState kRanges[] = {
    {.nStart = 93, .nEnd = 95, .kStart = 11, .kEnd = 1001},
    {.nStart = 127, .nEnd = 127, .kStart = 3, .kEnd = 2001},
    {.nStart = 40, .nEnd = 40, .kStart = 18446744073709551001u, .kEnd = 18446744073709551615u},
    {.nStart = 32, .nEnd = 63, .kStart = 3, .kEnd = 18446744073709551615u},
    {.nStart = 576, .nEnd = 607, .kStart = 1, .kEnd = 2},
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    kalvenor::fuzz::enterScratchDirectory();
    const RunState& range = kRanges[data[0] % std::size(kRanges)];
    const std::string_view file(reinterpret_cast<const char*>(data) + 1, size - 1);

    fuzz::writeFile(kCheckpointPath, file);
    std::remove(kResultsPath);
    RunState state = range;
    state.numbers = range.kEnd - range.kStart + 1;
    const AssignmentStatus code = restoreCheckpoint(state);
    if (fuzz::readFile(kCheckpointPath) != file) fail("the restore changed the checkpoint", file);
    if (code == AssignmentStatus::CheckpointMismatch) return 0;
    if (code != AssignmentStatus::Ready) fail("unexpected code", file);

    if (state.kCurrent < state.kStart || state.kCurrent > state.kEnd) fail("kCurrent outside the run", file);
    const bool finished = state.nCurrent == state.nEnd + 1 && state.kCurrent == state.kStart;
    if (state.nCurrent != 0 && !finished && (state.nCurrent < state.nStart || state.nCurrent > state.nEnd))
        fail("nCurrent outside the run", file);

    // What was accepted goes back to the disk and reads back the same.
    const RunState accepted = state;
    state.clockMark = elapsedMilliseconds();
    writeCheckpoint(state, state.kCurrent);
    const std::string written = fuzz::readFile(kCheckpointPath);
    if (written.empty() || written.back() != '\n') fail("checkpoint written incompletely", written);
    RunState again = range;
    again.kTested = ~accepted.kTested;  // a key lost on the way would show
    again.factors = ~accepted.factors;
    if (restoreCheckpoint(again) != AssignmentStatus::Ready) fail("own checkpoint refused", written);
    if (again.kTested != accepted.kTested || again.factors != accepted.factors)
        fail("own checkpoint reads back differently", written);
    if (!finished && (again.nCurrent != accepted.nCurrent || again.kCurrent != accepted.kCurrent))
        fail("own checkpoint moved", written);
    if (again.checksum != accepted.checksum || again.exponentsDone != accepted.exponentsDone)
        fail("own checkpoint lost a checksum or a tally", written);
    if (std::isfinite(state.seconds) && std::fabs(state.seconds) < 1e15 &&
        std::fabs(again.seconds - state.seconds) > 0.006)
        fail("own checkpoint lost the time", written);
    return 0;
}
