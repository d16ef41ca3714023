#include "driver/assignment_loop.h"

#include <cinttypes>
#include <cstdio>

#include "driver/launch_config.h"
#include "sieve/sieve_runner.h"
#include "sieve/small_primes.h"
#include "workfiles/assignment_file.h"
#include "workfiles/checkpoint.h"
#include "workfiles/log_files.h"
#include "workfiles/text_format.h"

namespace kalvenor {

namespace {

constexpr const char* kWorkFile = "worktodo.txt";


}  // namespace

std::string exponentSummary(const RunState& state) {
    const double numbers = static_cast<double>(state.numbers);
    const double percentage =
        state.numbers == 0 ? 0.0 : static_cast<double>(state.kTested) * 100.0 / numbers;
    return formatText("n=%u: tested %" PRIu64 " of %" PRIu64 " numbers (%5.2f%%) in %.2f seconds at %.0f/sec\n",
                  state.nCurrent, state.kTested, state.numbers, percentage, state.seconds, state.rate);
}

void runExponent(const DeviceContext& context, const std::vector<uint32_t>& smallPrimes) {
    RunState& state = runState();
    std::printf("\nTesting for n = %u\n", state.nCurrent);
    std::fflush(stdout);
    state.clockMark = elapsedMilliseconds();
    const SieveContext sieve{context.runtime, context.buffers, launchConfig(), smallPrimes};
    runSieve(state.kCurrent, state.kEnd, state, sieve);
    state.seconds += (elapsedMilliseconds() - state.clockMark) / 1000.0;
    // A range can finish faster than the clock ticks; show a rate of 0 then
    // rather than "inf".
    state.rate = state.seconds > 0.0 ? static_cast<double>(state.numbers) / state.seconds : 0.0;

    const std::string summary = exponentSummary(state);
    std::printf("\n%s", summary.c_str());
    std::fflush(stdout);
    appendToLog(kResultsPath, timeStamp() + summary);

    // Only now that the summary is logged may the checkpoint move on: a
    // restart then neither repeats this exponent nor throws the range away.
    advanceCheckpoint(state);
    state.kTested = 0;
    state.seconds = 0.0;
    state.kCurrent = state.kStart;
    state.nCurrent += 1;
}

int32_t runAssignment(const DeviceContext& context) {
    RunState& state = runState();
    // A checkpoint may say that every exponent is done (it is moved past the
    // last one before the line is removed); then only the closing is left.
    if (state.nCurrent <= state.nEnd) {
        launchConfig() = configureLaunch(context.device, context.runtime.kind(), state.nCurrent,
                                         state.kCurrent);
        const std::vector<uint32_t> smallPrimes = buildSmallPrimes(launchConfig().primeCount);
        state.numbers = state.kEnd - state.kStart + 1;
        while (state.nCurrent <= state.nEnd) runExponent(context, smallPrimes);
    }

    const int32_t code = removeFirstLine(kWorkFile);
    if (code == kWorkFileWriteFailed) return code;

    std::string closing =
        state.factors == 0
            ? std::string("Range is complete. No factors found.\n")
            : formatText("Range is complete. Found %d factor(s). For details see file factors.txt\n",
                     state.factors);
    closing += std::string(80, '-') + "\n";
    appendToLog(kResultsPath, closing);
    return code;
}

int32_t runAssignmentLoop(const DeviceContext& context) {
    int32_t code;
    while (true) {
        code = readAssignment(kWorkFile, runState());
        switch (code) {
            case kNoAssignment:
                std::printf("\nNo available assignments found in worktodo file.\n");
                return code;
            case kBlankLine:
                std::printf("\nRemoved blank line from worktodo file.\n");
                code = removeFirstLine(kWorkFile);
                break;
            case kNoKeyword:
                std::printf("\nRemoved a line that does not begin with FermatFactor= (case-sensitive).\n");
                code = removeFirstLine(kWorkFile);
                break;
            case kBadValues:
                std::printf("\nRemoved a line with incorrect start or end values of k or n.\n");
                code = removeFirstLine(kWorkFile);
                break;
            case kCheckpointMismatch:
                std::printf("\nRemoved obsolete checkpoint file kalvenor.cpt and continue.\n");
                code = std::remove(kCheckpointPath) == 0 ? 0 : -1;
                if (code != 0) {
                    std::fflush(stdout);
                    std::perror("\nCan't delete the checkpoint file kalvenor.cpt");
                }
                break;
            case kWorkFileWriteFailed:
                return code;
            default:
                code = runAssignment(context);
                break;
        }
        std::fflush(stdout);
        if (code == kAssignmentReady) continue;
        if (code == kWorkFileEmpty)
            std::printf("\nNo more assignments found in worktodo file. Work is done.\n");
        return code;
    }
}

}  // namespace kalvenor
