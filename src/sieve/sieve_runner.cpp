#include "sieve/sieve_runner.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "kernels/check_status.h"
#include "kernels/kernel_args.h"
#include "sieve/factor_report.h"
#include "sieve/segment_sieve.h"
#include "workfiles/checkpoint.h"

namespace kalvenor {

namespace {

constexpr std::size_t kResultBytes = kResultWords * sizeof(uint32_t);
constexpr uint32_t kThreadsPerBlock = 256;
constexpr int64_t kCheckpointSeconds = 60;

void clearResults(Runtime& runtime, TransferBuffers& buffers) {
    std::fill(buffers.hostResult, buffers.hostResult + kResultWords, 0u);
    KALVENOR_CHECK(runtime, runtime.copyToDevice(buffers.deviceResult, buffers.hostResult,
                                                 kResultBytes));
}

// Copy, launch, wait. The first two are not checked on their own: whatever
// goes wrong with them shows in the returned status of the attempt.
int attemptBatch(const SieveContext& context, uint32_t n, uint32_t count) {
    Runtime& runtime = context.runtime;
    TransferBuffers& buffers = context.buffers;
    const int copied = runtime.copyToDeviceAsync(buffers.deviceBatch, buffers.hostBatch,
                                                 count * sizeof(uint64_t));
    const KernelArgs args{buffers.deviceResult, buffers.deviceBatch, n, count, nullptr};
    const int launched = runtime.launch(context.config.launchEntry, context.config.blocksPerGrid,
                                        kThreadsPerBlock, args);
    const int synced = runtime.synchronize();
    if (synced != 0) {
        std::printf("\nERROR: cudaDeviceSynchronize failed!\n");
        std::fflush(stdout);
        return synced;
    }
    return launched != 0 ? launched : copied;
}

// A batch whose run failed is run once more rather than counted as tested:
// its factors would otherwise be lost without a word. Records the failed run
// may have left are cleared first, so nothing is reported twice. A second
// failure ends the process; the last checkpoint lets the range resume.
void dispatchBatch(const SieveContext& context, uint32_t n, uint32_t count) {
    if (attemptBatch(context, n, count) == 0) return;
    clearResults(context.runtime, context.buffers);
    KALVENOR_CHECK(context.runtime, attemptBatch(context, n, count));
}

}  // namespace

SieveHooks defaultSieveHooks() {
    return {[] { return static_cast<int64_t>(std::time(nullptr)); }, &writeCheckpoint};
}

void runSieve(uint64_t kFirst, uint64_t kEnd, RunState& state, const SieveContext& context) {
    runSieve(kFirst, kEnd, state, context, defaultSieveHooks());
}

void runSieve(uint64_t kFirst, uint64_t kEnd, RunState& state, const SieveContext& context,
              const SieveHooks& hooks) {
    Runtime& runtime = context.runtime;
    TransferBuffers& buffers = context.buffers;
    const uint32_t n = state.nCurrent;
    clearResults(runtime, buffers);

    const uint32_t range = static_cast<uint32_t>(std::max(context.config.sieveRange, 1));
    const uint32_t capacity = std::clamp(context.config.threadsPerGrid, 1u, kBatchCapacity);
    SegmentSieve sieve(context.smallPrimes, n, range);
    int64_t checkpointMark = hooks.clockSeconds();

    MultiplierWalk walk(kFirst, kEnd);
    while (!walk.done()) {
        const uint64_t kSeg = walk.position();
        const uint32_t length = walk.remaining(range);
        sieve.sieve(kSeg, length);
        uint32_t examined = 0;
        const uint32_t count =
            collectBatch(sieve.bytes(), length, kSeg, capacity, buffers.hostBatch, examined);
        walk.advance(examined);

        dispatchBatch(context, n, count);
        state.kTested += count;

        // The batch's factors are reported before a checkpoint can move past
        // the batch: a process killed in between must find them again after
        // the restart, not skip them.
        KALVENOR_CHECK(runtime, runtime.copyToHost(buffers.hostResult, buffers.deviceResult,
                                                   kResultBytes));
        if (buffers.hostResult[0] != 0) {
            const std::vector<uint64_t> found =
                factorsOfLaunch(buffers.hostResult, buffers.hostBatch, count, n);
            for (uint64_t k : found) reportFactor(k, n);
            state.factors += static_cast<int32_t>(found.size());
            clearResults(runtime, buffers);
        }

        // A finished exponent gets no checkpoint: its walk position lies past
        // kEnd, and the driver moves the checkpoint on after the summary.
        if (hooks.clockSeconds() > checkpointMark + kCheckpointSeconds && !walk.done()) {
            hooks.checkpoint(state, walk.position());
            checkpointMark = hooks.clockSeconds();
        }
    }
}

}  // namespace kalvenor
