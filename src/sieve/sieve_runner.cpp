#include "sieve/sieve_runner.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>

#include "common/verify.h"
#include "device/runtime_error.h"
#include "kernels/kernel_args.h"
#include "sieve/factor_report.h"
#include "sieve/segment_sieve.h"
#include "workfiles/checkpoint.h"

namespace kalvenor {

namespace {

constexpr int64_t kCheckpointSeconds = 60;

// A batch whose run failed is run once more rather than counted as tested:
// its factors would otherwise be lost without a word. Records the failed run
// may have left are cleared first, so nothing is reported twice. A second
// failure is reported and given up on; the last checkpoint lets the range
// resume.
bool dispatchBatch(const SieveContext& context, uint32_t n, uint32_t count) {
    Runtime& runtime = context.runtime;
    const uint32_t blocks = (context.settings.batchCapacity + kThreadsPerBlock - 1) / kThreadsPerBlock;
    for (int attempt = 0;; ++attempt) {
        const LaunchStatus status = runBatch(runtime, context.buffers, context.settings.kernelIndex, blocks, n, count);
        if (status.ok()) return true;
        if (status.step == LaunchStep::Synchronize) {
            std::printf("\nERROR: cudaDeviceSynchronize failed!\n");
            std::fflush(stdout);
        }
        if (attempt == 1) return !KALVENOR_FAILED(runtime, status.code);
        if (KALVENOR_FAILED(runtime, clearResult(runtime, context.buffers))) return false;
    }
}

}  // namespace

SieveHooks defaultSieveHooks() {
    return {[] { return static_cast<int64_t>(std::time(nullptr)); }, &writeCheckpoint, [] { return 0; }};
}

SieveStatus runSieve(uint64_t kFirst, uint64_t kEnd, RunState& state, const SieveContext& context,
                     const SieveHooks& hooks) {
    Runtime& runtime = context.runtime;
    TransferBuffers& buffers = context.buffers;
    const uint32_t n = state.nCurrent;
    if (KALVENOR_FAILED(runtime, clearResult(runtime, buffers))) return SieveStatus::DeviceFailed;

    const uint32_t range = std::max(context.settings.segmentLength, 1u);
    const uint32_t capacity = std::clamp(context.settings.batchCapacity, 1u, buffers.capacity);
    SegmentSieve sieve(context.smallPrimes, n, range, context.workers);
    if (!sieve.allocated()) {
        std::fflush(stdout);
        errno = ENOMEM;
        std::perror("\nThere is not enough memory to allocate a table for the sieve");
        return SieveStatus::NoMemory;
    }
    int64_t checkpointMark = hooks.clockSeconds();

    MultiplierWalk walk(kFirst, kEnd);
    while (!walk.done()) {
        const uint64_t kSeg = walk.position();
        const uint32_t length = walk.remaining(range);
        sieve.sieve(kSeg, length);
        uint32_t examined = 0;
        const uint32_t count =
            collectBatch(sieve.bytes(), length, kSeg, capacity, buffers.hostBatch, examined, context.workers);
        walk.advance(examined);
        // A batch larger than the launch would leave its tail untested.
        KALVENOR_VERIFY_THAT(count <= capacity && examined <= length);

        if (!dispatchBatch(context, n, count)) return SieveStatus::DeviceFailed;
        state.kTested += count;

        // The batch's factors are reported before a checkpoint can move past
        // the batch: a process killed in between must find them again after
        // the restart, not skip them.
        if (buffers.hostResult[0] != 0) {
            const std::vector<uint64_t> found = factorsOfLaunch(buffers.hostResult, buffers.hostBatch, count, n);
            bool written = true;
            for (uint64_t k : found) written &= reportFactor(k, n);
            if (!written) return SieveStatus::FactorNotWritten;
            state.factors += static_cast<int32_t>(found.size());
            if (KALVENOR_FAILED(runtime, clearResult(runtime, buffers))) return SieveStatus::DeviceFailed;
        }

        // A finished exponent gets no checkpoint: its walk position lies past
        // kEnd, and the driver moves the checkpoint on after the summary.
        if (walk.done()) break;
        if (hooks.stopRequested() != 0) {
            state.kCurrent = walk.position();
            hooks.checkpoint(state, walk.position());
            return SieveStatus::Stopped;
        }
        if (hooks.clockSeconds() > checkpointMark + kCheckpointSeconds) {
            hooks.checkpoint(state, walk.position());
            checkpointMark = hooks.clockSeconds();
        }
    }
    return SieveStatus::Done;
}

}  // namespace kalvenor
