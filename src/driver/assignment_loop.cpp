#include "driver/assignment_loop.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <memory>
#include <optional>
#include <vector>

#include "common/text_format.h"
#include "driver/launch_config.h"
#include "driver/live_progress.h"
#include "sieve/device_sieve.h"
#include "sieve/sieve_runner.h"
#include "sieve/small_primes.h"
#include "workfiles/assignment_file.h"
#include "workfiles/checkpoint.h"
#include "workfiles/log_files.h"
#include "workfiles/result_record.h"

namespace kalvenor {

namespace {

// How the run of one line ended: its line removed with `removal`, or the
// program stops with `stop`.
struct AssignmentEnd {
    AssignmentStatus removal = AssignmentStatus::Ready;
    std::optional<ExitCode> stop;
};

// Says where the run stopped for `signal`, on the console and in the log;
// the checkpoint holds the position.
ExitCode stoppedBySignal(int signal, const RunState& state) {
    const std::string line = formatText("n=%u: stopped by signal %d at k=%" PRIu64 "; kalvenor.cpt holds the position\n",
                                        state.nCurrent, signal, state.kCurrent);
    std::printf("\n%s", line.c_str());
    std::fflush(stdout);
    appendToLog(state.paths.results, timeStamp() + line);
    return stoppedBy(signal);
}

// Runs exponent nCurrent over kCurrent..kEnd and logs its summary.
SieveStatus runExponent(const SieveContext& sieve, const SieveHooks& hooks, LiveProgress& progress, RunHost& host,
                        RunState& state) {
    std::printf("\nTesting for n = %u\n", state.nCurrent);
    std::fflush(stdout);
    state.clockMark = elapsedMilliseconds();
    const SieveStatus status = runSieve(state.kCurrent, state.kEnd, state, sieve, hooks);
    progress.clear();
    if (status != SieveStatus::Done) return status;
    state.seconds += (elapsedMilliseconds() - state.clockMark) / 1000.0;
    // A range can finish faster than the clock ticks; show a rate of 0 then
    // rather than "inf".
    state.rate = state.seconds > 0.0 ? static_cast<double>(state.numbers) / state.seconds : 0.0;

    const std::string summary = exponentSummary(state);
    std::printf("\n%s", summary.c_str());
    std::fflush(stdout);
    appendToLog(state.paths.results, timeStamp() + summary);

    // Only now that the summary is logged may the checkpoint move on: a
    // restart then neither repeats this exponent nor throws the range away.
    // Once the line's minute has passed it is written even where none was
    // during the exponent, or a line of exponents shorter than a minute
    // would lose every one of them to a kill.
    state.exponentsDone.push_back({state.nCurrent, state.kTested, state.checksum});
    const bool due = checkpointDue(state, hooks);
    advanceCheckpoint(state, due);
    if (due) {
        host.checkpointWritten();
        state.checkpointClock = hooks.clockSeconds();
    }
    state.kTested = 0;
    state.checksum = 0;
    state.seconds = 0.0;
    state.kCurrent = state.kStart;
    state.nCurrent += 1;
    return SieveStatus::Done;
}

// The sieve's hooks for a run under `host`: its checkpoint schedule and
// progress reports, the stop signals, and the status line.
SieveHooks runHooks(const WorkContext& context, LiveProgress& progress) {
    SieveHooks hooks = defaultSieveHooks();
    hooks.stopRequested = [&context] { return context.stop.requested(); };
    hooks.checkpointDue = [&context](bool minutePassed) { return context.host.timeToCheckpoint(minutePassed); };
    hooks.checkpoint = [&context, &progress](RunState& state, uint64_t k) {
        progress.clear();
        writeCheckpoint(state, k);
        context.host.checkpointWritten();
    };
    hooks.beforeMessage = [&progress] { progress.clear(); };
    hooks.batchLanded = [&context, &progress](const RunState& state, uint64_t k) {
        context.host.fractionDone(lineFraction(state, k));
        progress.update(state, k);
    };
    return hooks;
}

ExitCode exitCodeOf(SieveStatus status) {
    switch (status) {
        case SieveStatus::NoMemory: return ExitCode::Stopped;
        case SieveStatus::FactorNotWritten: return ExitCode::FactorNotWritten;
        case SieveStatus::DeviceFault: return ExitCode::DeviceFault;
        default: return ExitCode::RuntimeFailure;
    }
}

// Runs the range readAssignment has just accepted and removes its line.
AssignmentEnd runAssignment(const WorkContext& context, RunState& state) {
    // Planned from the line's start, not from where a restart takes it up,
    // so the sieve (and with it every count of the record) is the same
    // however often the line was interrupted.
    LaunchPlan plan = planLaunch(context.device, context.runtime.kind(), state.nStart, state.kStart, context.sieve);
    if (plan.refusal != nullptr) {
        std::fputs(plan.refusal, stdout);
        std::fflush(stdout);
        return {.removal = AssignmentStatus::Ready, .stop = ExitCode::Stopped};
    }
    // A line taken up keeps the depth its checkpoint was sieved with: its
    // record's counts are then those of one depth, whatever this run asks.
    if (state.sievePrimes && *state.sievePrimes != plan.config.primeCount) {
        std::printf("\nThe line goes on at its checkpoint's sieve depth of %u primes, not %u.\n", *state.sievePrimes,
                    plan.config.primeCount);
        SieveRequest kept = context.sieve;
        kept.primeCount = *state.sievePrimes;
        plan = planLaunch(context.device, context.runtime.kind(), state.nStart, state.kStart, kept);
    }
    state.sievePrimes = plan.config.primeCount;
    // A checkpoint may say that every exponent is done (it is moved past the
    // last one before the line is removed); then only the closing is left.
    if (state.nCurrent <= state.nEnd) {
        const std::optional<std::vector<uint32_t>> smallPrimes = buildSmallPrimes(plan.config.primeCount);
        if (!smallPrimes) return {.removal = AssignmentStatus::Ready, .stop = ExitCode::Stopped};
        if (plan.config.deviceSieve)
            plan.config.sieveRange = static_cast<int32_t>(deviceSegmentLength(survivingShare(*smallPrimes), plan.config.threadsPerGrid));
        std::fputs(runtimeOptionsText(plan.config).c_str(), stdout);
        std::fflush(stdout);
        const SieveSettings settings{plan.config.launchEntry, plan.config.threadsPerGrid,
                                     static_cast<uint32_t>(std::max(plan.config.sieveRange, 1))};
        // The device sieve's primes and scratch serve every exponent of the line.
        std::unique_ptr<DeviceSieve> deviceSieve;
        if (plan.config.deviceSieve) {
            deviceSieve = std::make_unique<DeviceSieve>(context.runtime, *smallPrimes, static_cast<uint32_t>(context.slots.size()),
                                                        settings.segmentLength, settings.batchCapacity);
            if (!deviceSieve->ok()) return {.removal = AssignmentStatus::Ready, .stop = ExitCode::RuntimeFailure};
        }
        const SieveContext sieve{context.runtime, context.slots, context.sieveWorkers, settings, *smallPrimes,
                                 deviceSieve.get(), context.device.name};
        LiveProgress progress(context.liveProgress);
        const SieveHooks hooks = runHooks(context, progress);
        state.numbers = state.kEnd - state.kStart + 1;
        while (state.nCurrent <= state.nEnd) {
            if (const int signal = context.stop.requested(); signal != 0) {
                state.clockMark = elapsedMilliseconds();
                writeCheckpoint(state, state.kCurrent);  // the start of the next exponent
                return {.removal = AssignmentStatus::Ready, .stop = stoppedBySignal(signal, state)};
            }
            const SieveStatus status = runExponent(sieve, hooks, progress, context.host, state);
            if (status == SieveStatus::Stopped)
                return {.removal = AssignmentStatus::Ready, .stop = stoppedBySignal(context.stop.requested(), state)};
            if (status != SieveStatus::Done) return {.removal = AssignmentStatus::Ready, .stop = exitCodeOf(status)};
        }
    }

    // The record goes first: a line removed without it would be lost to
    // whoever collects the records. Kept, the line is taken up again.
    if (!appendRecord(state.paths.records, completeRecord(state, {plan.config.deviceSieve, plan.config.primeCount})))
        return {.removal = AssignmentStatus::Ready, .stop = ExitCode::WorkFileWriteFailed};
    const AssignmentStatus removal = removeFinishedLine(state.paths.work, state.line, state.paths.checkpoint);
    if (removal == AssignmentStatus::WriteFailed || removal == AssignmentStatus::Unreadable) return {removal, std::nullopt};

    std::string closing =
        state.factors == 0
            ? std::string("Range is complete. No factors found.\n")
            : formatText("Range is complete. Found %d factor(s). For details see file factors.txt\n", state.factors);
    closing += std::string(80, '-') + "\n";
    appendToLog(state.paths.results, closing);
    return {removal, std::nullopt};
}

}  // namespace

std::string exponentSummary(const RunState& state) {
    const double numbers = static_cast<double>(state.numbers);
    const double percentage =
        state.numbers == 0 ? 0.0 : static_cast<double>(state.kTested) * 100.0 / numbers;
    return formatText("n=%u: tested %" PRIu64 " of %" PRIu64 " numbers (%5.2f%%) in %.2f seconds at %.0f/sec\n",
                      state.nCurrent, state.kTested, state.numbers, percentage, state.seconds, state.rate);
}

ExitCode runAssignmentLoop(const WorkContext& context) {
    RunState state;
    state.paths = context.paths;
    while (true) {
        if (const int signal = context.stop.requested(); signal != 0) return stoppedBy(signal);  // between lines
        AssignmentStatus status = readAssignment(state.paths.work, state);
        switch (status) {
            case AssignmentStatus::NoAssignment:
                std::printf("\nNo available assignments found in worktodo file.\n");
                return ExitCode::Stopped;
            case AssignmentStatus::BlankLine:
                std::printf("\nRemoved blank line from worktodo file.\n");
                status = removeFirstLine(state.paths.work, state.paths.checkpoint);
                break;
            case AssignmentStatus::NoKeyword:
                std::printf("\nRemoved a line that does not begin with FermatFactor= (case-sensitive).\n");
                status = removeFirstLine(state.paths.work, state.paths.checkpoint);
                break;
            case AssignmentStatus::BadValues:
                std::printf("\nRemoved a line with incorrect start or end values of k or n.\n");
                status = removeFirstLine(state.paths.work, state.paths.checkpoint);
                break;
            case AssignmentStatus::LineTooLong:
                std::printf("\nRemoved a line too long to be an assignment (more than 98 characters).\n");
                status = removeFirstLine(state.paths.work, state.paths.checkpoint);
                break;
            case AssignmentStatus::CheckpointMismatch:
                std::printf("\nRemoved obsolete checkpoint file kalvenor.cpt and continue.\n");
                if (std::remove(state.paths.checkpoint.c_str()) != 0) {
                    std::fflush(stdout);
                    std::perror("\nCan't delete the checkpoint file kalvenor.cpt");
                    return ExitCode::RuntimeFailure;
                }
                status = AssignmentStatus::Ready;
                break;
            case AssignmentStatus::Ready: {
                const AssignmentEnd end = runAssignment(context, state);
                if (end.stop) return *end.stop;
                status = end.removal;
                break;
            }
            default:
                break;
        }
        std::fflush(stdout);
        switch (status) {
            case AssignmentStatus::Ready:
                continue;
            case AssignmentStatus::FileEmpty:
                dropKeptCheckpointsOfLinesGone(state.paths);  // lines taken out during the run
                std::printf("\nNo more assignments found in worktodo file. Work is done.\n");
                return ExitCode::WorkDone;
            case AssignmentStatus::WriteFailed:
                return ExitCode::WorkFileWriteFailed;
            default:  // Unreadable or CheckpointUnreadable, said already
                return ExitCode::Stopped;
        }
    }
}

}  // namespace kalvenor
