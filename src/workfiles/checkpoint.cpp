#include "workfiles/checkpoint.h"

#include <sys/stat.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/text_format.h"
#include "workfiles/file_replace.h"
#include "workfiles/log_files.h"
#include "workfiles/number_reading.h"
#include "workfiles/work_file_text.h"

namespace kalvenor {

namespace {

std::string formatCheckpoint(uint32_t nCurrent, uint64_t kCurrent, uint64_t kTested,
                             double seconds, int32_t factors) {
    // seconds comes from the old file and may be anything atof accepts.
    return formatText("nCurrent=%" PRIu32 "\nkCurrent=%" PRIu64 "\nkTested =%" PRIu64
                      "\nseconds =%.2f\nfactors =%d\n",
                      nCurrent, kCurrent, kTested, seconds, factors);
}

// Applies one line of the file to `state` when it carries one of the five
// keys: exactly eight characters, then "=".
void applyCheckpointLine(std::string_view line, RunState& state) {
    if (line.size() < 9 || line[8] != '=') return;
    const std::string_view key = line.substr(0, 8);
    const std::string value(line.substr(9));  // NUL-terminated for the conversions
    if (key == "nCurrent") {
        state.nCurrent = static_cast<uint32_t>(readUnsigned(value.c_str(), 0, 32).value);
    } else if (key == "kCurrent") {
        state.kCurrent = readUnsigned(value.c_str(), 0, 64).value;
    } else if (key == "kTested ") {
        state.kTested = readUnsigned(value.c_str(), 0, 64).value;
    } else if (key == "seconds ") {
        state.seconds = std::atof(value.c_str());
    } else if (key == "factors ") {
        state.factors = static_cast<int32_t>(readUnsigned(value.c_str(), 0, 32).value);
    }
}

}  // namespace

void writeCheckpoint(RunState& state, uint64_t k) {
    const double now = elapsedMilliseconds();
    state.seconds += (now - state.clockMark) / 1000.0;
    state.clockMark = now;

    const double done = static_cast<double>(k - state.kStart);
    state.rate = state.seconds > 0.0 ? done / state.seconds : 0.0;
    const double percentage =
        state.numbers != 0 ? done * 100.0 / static_cast<double>(state.numbers) : 0.0;

    // A checkpoint that cannot be written costs only the checkpoint; the
    // failure has been said, and the run goes on.
    (void)replaceFile(kCheckpointPath, formatCheckpoint(state.nCurrent, k, state.kTested,
                                                        state.seconds, state.factors));

    std::printf("\nn=%" PRIu32 ": k to %" PRIu64 " (%5.2f%% complete): rate=%.0f/sec",
                state.nCurrent, k, percentage, state.rate);
    std::fflush(stdout);
}

void advanceCheckpoint(const RunState& state) {
    struct stat info {};
    if (::stat(kCheckpointPath, &info) != 0) return;  // none to bring forward
    (void)replaceFile(kCheckpointPath,
                      formatCheckpoint(state.nCurrent + 1, state.kStart, 0, 0.0, state.factors));
}

AssignmentStatus restoreCheckpoint(RunState& state) {
    if (const std::optional<std::string> bytes = readWholeFile(kCheckpointPath)) {
        std::string_view text = *bytes;
        while (!text.empty()) {
            const size_t length = lineLength(text);
            applyCheckpointLine(text.substr(0, length), state);
            text.remove_prefix(length);
        }
    } else {
        state.nCurrent = state.nStart;
        state.kCurrent = state.kStart;
        state.kTested = 0;
        state.seconds = 0.0;
        state.factors = 0;
    }

    const bool nInside = state.nCurrent >= state.nStart && state.nCurrent <= state.nEnd;
    // advanceCheckpoint leaves this behind once the last exponent is done.
    const bool rangeFinished =
        state.nCurrent == state.nEnd + 1 && state.kCurrent == state.kStart;
    // A missing or unreadable nCurrent line reads as 0. It is refused like any
    // other exponent outside the range: let through, it would stop every
    // start at "No kernel for n < 32" until someone deleted the file.
    if (!nInside && !rangeFinished) {
        std::printf("\nThe current value for n (nCurrent) is outside of the range of n.\n");
        return AssignmentStatus::CheckpointMismatch;
    }
    if (state.kCurrent < state.kStart || state.kCurrent > state.kEnd) {
        // The sieve stops at the first odd multiplier above kEnd: a checkpoint
        // from the last batch of an exponent says that exponent is done, so
        // the next one starts; only the done exponent's summary line is lost.
        const bool walkFinished =
            nInside && state.kCurrent > state.kEnd && state.kCurrent - state.kEnd <= 2;
        if (!walkFinished) {
            std::printf("\nThe current value for k (kCurrent) is outside of the range of k.\n");
            return AssignmentStatus::CheckpointMismatch;
        }
        state.nCurrent += 1;
        state.kCurrent = state.kStart;
        state.kTested = 0;
        state.seconds = 0.0;
    }

    if (state.kCurrent == state.kStart && state.nCurrent == state.nStart) {
        const std::string line =
            formatText("Starting range: n=%" PRIu32 "-%" PRIu32 " and k=%" PRIu64 "-%" PRIu64 "\n",
                       state.nStart, state.nEnd, state.kStart, state.kEnd);
        std::printf("\n%s", line.c_str());
        appendToLog(kResultsPath, timeStamp() + line);
    } else {
        std::printf("\nContinue range: n=%" PRIu32 "-%" PRIu32 "(%" PRIu32 ") and k=%" PRIu64
                    "-%" PRIu64 "(%" PRIu64 ")\n",
                    state.nStart, state.nEnd, state.nCurrent, state.kStart, state.kEnd,
                    state.kCurrent);
    }
    return AssignmentStatus::Ready;
}

}  // namespace kalvenor
