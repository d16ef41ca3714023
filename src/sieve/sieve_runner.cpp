#include "sieve/sieve_runner.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <memory>
#include <optional>
#include <string>

#include "common/text_format.h"
#include "common/verify.h"
#include "device/runtime_error.h"
#include "kernels/kernel_args.h"
#include "kernels/kernel_table.h"
#include "sieve/batch_check.h"
#include "sieve/factor_report.h"
#include "sieve/segment_sieve.h"
#include "workfiles/checkpoint.h"
#include "workfiles/log_files.h"

namespace kalvenor {

namespace {

constexpr int64_t kCheckpointSeconds = 60;

// A batch in one of the ring's slots.
struct Flight {
    uint64_t kSeg = 0;
    uint32_t length = 0;  // odd multipliers from kSeg that the batch covers
    uint32_t count = 0;   // multipliers of a host-sieved batch
    uint64_t next = 0;    // where the walk goes on after it
    bool walkDone = false;
    uint32_t seed = 0;    // which slot reports its residue
    LaunchStatus submitted;
};

int queueOf(uint32_t slot) { return static_cast<int>(slot) + 1; }

}  // namespace

SieveHooks defaultSieveHooks() {
    return {[] { return static_cast<int64_t>(std::time(nullptr)); }, &writeCheckpoint, [] { return 0; }, {}, {}};
}

bool checkpointDue(const RunState& state, const SieveHooks& hooks) {
    const int64_t now = hooks.clockSeconds();
    const bool minutePassed = now > state.checkpointClock.value_or(now) + kCheckpointSeconds;
    return hooks.checkpointDue ? hooks.checkpointDue(minutePassed) : minutePassed;
}

SieveStatus runSieve(uint64_t kFirst, uint64_t kEnd, RunState& state, const SieveContext& context,
                     const SieveHooks& hooks) {
    Runtime& runtime = context.runtime;
    const uint32_t n = state.nCurrent;
    const SieveSettings& settings = context.settings;
    DeviceSieve* const deviceSieve = context.deviceSieve;
    const bool onDevice = deviceSieve != nullptr;
    // Queue 0 is the default queue; each slot has one of the others.
    const auto slots = static_cast<uint32_t>(std::min<std::size_t>(context.slots.size(), Runtime::kQueues - 1));
    KALVENOR_VERIFY_THAT(slots > 0 && (!onDevice || deviceSieve->slots() >= slots));
    // A host-sieved batch lives in the slot's host buffer; a device-sieved one only on the device.
    const uint32_t capacity =
        onDevice ? deviceSieve->capacity() : std::max(std::min(settings.batchCapacity, context.slots[0].capacity), 1u);
    const uint32_t blocks = (capacity + kThreadsPerBlock - 1) / kThreadsPerBlock;
    const uint32_t range = onDevice ? deviceSieve->length() : std::max(settings.segmentLength, 1u);

    std::unique_ptr<SegmentSieve> hostSieve;
    if (onDevice) {
        if (!deviceSieve->setExponent(n, context.workers)) return SieveStatus::DeviceFailed;
    } else {
        hostSieve = std::make_unique<SegmentSieve>(context.smallPrimes, n, range, context.workers);
        if (!hostSieve->allocated()) {
            std::fflush(stdout);
            errno = ENOMEM;
            std::perror("\nThere is not enough memory to allocate a table for the sieve");
            return SieveStatus::NoMemory;
        }
    }

    // However the walk ends, nothing queued may outlive it: the buffers are the caller's.
    struct Drain {
        Runtime& runtime;
        ~Drain() { runtime.synchronize(); }
    } drain{runtime};

    // Queues slot s's batch: a host-sieved one is copied over, a
    // device-sieved one is sieved there first; then the test and the way back.
    auto submit = [&](uint32_t s, const Flight& f) -> LaunchStatus {
        TransferBuffers& b = context.slots[s];
        if (!onDevice) return submitBatch(runtime, b, {settings.kernelIndex, blocks, n, f.count, nullptr, 0, f.seed}, queueOf(s));
        if (const int code = deviceSieve->submit(s, f.kSeg, f.length, b.deviceCount, queueOf(s)))
            return {code, LaunchStep::Launch};
        return submitBatch(runtime, b, {settings.kernelIndex, blocks, n, capacity, deviceSieve->offsets(s), f.kSeg, f.seed},
                           queueOf(s));
    };
    auto makeWay = [&hooks] {
        if (hooks.beforeMessage) hooks.beforeMessage();
    };
    // Waits for slot s. A batch whose run failed is run once more rather
    // than counted as tested, its factors would otherwise be lost without a
    // word; a second failure is reported and given up on, and the last
    // checkpoint lets the range resume.
    auto land = [&](uint32_t s, const Flight& f) -> bool {
        LaunchStatus status = f.submitted;
        for (int attempt = 0;; ++attempt) {
            const int waited = runtime.waitQueue(queueOf(s));
            if (status.ok() && waited != 0) status = {waited, LaunchStep::Synchronize};
            if (status.ok()) return true;
            if (status.step == LaunchStep::Synchronize) {
                makeWay();
                std::printf("\nERROR: %s failed!\n", runtime.waitCall(queueOf(s)).c_str());
                std::fflush(stdout);
            }
            if (attempt == 1) return !KALVENOR_FAILED(runtime, status.code);
            status = submit(s, f);
        }
    };
    // A batch that does not check out: said on the console and in the log,
    // and nothing of it counted.
    const KernelEntry& kernel = kKernels[static_cast<std::size_t>(settings.kernelIndex)];
    auto deviceFault = [&](const DeviceFault& fault) {
        const std::string line =
            formatText("n=%" PRIu32 ": device arithmetic fault at k=%" PRIu64 " (kernel %s, device %s): %s\n", n, fault.k,
                       kernel.name, context.deviceName.c_str(), fault.what.c_str());
        makeWay();
        std::printf("\nERROR: %sNothing from this batch on is counted, and the checkpoint stays where the last batch that "
                    "checked out left it. Run kalvenor --selftest before trusting this device again.\n",
                    line.c_str());
        std::fflush(stdout);
        appendToLog(state.paths.results, timeStamp() + line);
        return SieveStatus::DeviceFault;
    };
    // Checks a landed batch of `count` multipliers, then counts it and
    // reports its factors, before any checkpoint can move past it: a process
    // killed in between must find them again after the restart, not skip them.
    auto account = [&](uint32_t s, const Flight& f, uint32_t count) -> SieveStatus {
        const TransferBuffers& b = context.slots[s];
        const LandedBatch landed{b.hostResult, n, count, f.seed, onDevice ? nullptr : b.hostBatch, f.kSeg, f.length};
        if (const std::optional<DeviceFault> fault = checkReportedResidue(landed)) return deviceFault(*fault);
        std::vector<uint64_t> found;
        if (const uint32_t counted = b.hostResult[0]; counted > kResultRecords) {
            // The records could not hold them all: the batch is tested again on the host.
            std::vector<uint64_t> batch;
            const uint64_t* multipliers = b.hostBatch;
            if (onDevice) {
                batch = deviceSieve->survivorsOf(s, f.kSeg, count);
                if (batch.size() != count) return SieveStatus::DeviceFailed;
                multipliers = batch.data();
            }
            found = factorsOfLaunch(b.hostResult, multipliers, count, n, hooks.isFactor);
            if (found.size() != counted)
                return deviceFault({0, formatText("the device counted %u factors in the batch, the host test finds %zu",
                                                  counted, found.size())});
        } else {
            found = factorsOfLaunch(b.hostResult, b.hostBatch, count, n);
            if (const std::optional<DeviceFault> fault = checkReportedFactors(landed, found, hooks.isFactor))
                return deviceFault(*fault);
        }
        state.kTested += count;
        if (state.checksum) *state.checksum += launchChecksum(b.hostResult);
        if (found.empty()) return SieveStatus::Done;
        bool written = true;
        for (uint64_t k : found) {
            makeWay();
            written &= reportFactor(k, n, state.paths.factors);
        }
        if (!written) return SieveStatus::FactorNotWritten;
        for (uint64_t k : found) state.found.push_back({n, k});
        state.factors += static_cast<int32_t>(found.size());
        return SieveStatus::Done;
    };
    // A device-sieved segment that kept more than a batch holds: nothing of
    // it is counted, and it runs again in slot s, halved until each part
    // fits, before any later batch is counted.
    auto rerunInParts = [&](uint32_t s, const Flight& whole) -> SieveStatus {
        std::vector<Flight> parts{whole};  // a stack: the lowest part on top
        while (!parts.empty()) {
            Flight f = parts.back();
            parts.pop_back();
            f.seed = checkSeedOf(f.kSeg, f.length, n);
            f.submitted = submit(s, f);
            if (!land(s, f)) return SieveStatus::DeviceFailed;
            const uint32_t count = *context.slots[s].hostCount;
            if (count > capacity) {
                const uint32_t half = f.length / 2;  // a part of one multiplier always fits
                Flight low = f, high = f;
                low.length = half;
                high.kSeg += 2ull * half;
                high.length -= half;
                parts.push_back(high);
                parts.push_back(low);
                continue;
            }
            if (const SieveStatus status = account(s, f, count); status != SieveStatus::Done) return status;
        }
        return SieveStatus::Done;
    };

    std::vector<Flight> flights(slots);
    uint64_t submitted = 0, landed = 0;  // batches, in walk order
    uint64_t landedNext = kFirst;        // where the walk goes on after the last landed batch
    bool landedWalkDone = kFirst > kEnd;
    // The line's clock, not the exponent's: it goes on from the exponent before.
    if (!state.checkpointClock) state.checkpointClock = hooks.clockSeconds();
    MultiplierWalk walk(kFirst, kEnd);
    while (true) {
        // Fill the ring; the host prepares the next batch while the device works.
        if (!walk.done() && hooks.stopRequested() == 0 && submitted - landed < slots) {
            const auto s = static_cast<uint32_t>(submitted % slots);
            Flight& f = flights[s];
            f.kSeg = walk.position();
            f.length = walk.remaining(range);
            if (!onDevice) {
                hostSieve->sieve(f.kSeg, f.length);
                uint32_t examined = 0;
                f.count = collectBatch(hostSieve->bytes(), f.length, f.kSeg, capacity, context.slots[s].hostBatch, examined,
                                       context.workers);
                // A batch larger than the launch would leave its tail untested.
                KALVENOR_VERIFY_THAT(f.count <= capacity && examined <= f.length);
                f.length = examined;
            }
            walk.advance(f.length);
            f.walkDone = walk.done();
            f.next = f.walkDone ? 0 : walk.position();
            f.seed = checkSeedOf(f.kSeg, f.length, n);
            f.submitted = submit(s, f);
            ++submitted;
            continue;
        }
        if (landed == submitted) break;

        // The oldest batch, and only it: counts, factors and checkpoints
        // follow the walk's order whatever order the device finishes in.
        const auto s = static_cast<uint32_t>(landed % slots);
        const Flight& f = flights[s];
        if (!land(s, f)) return SieveStatus::DeviceFailed;
        const uint32_t count = onDevice ? *context.slots[s].hostCount : f.count;
        const SieveStatus status = count > capacity ? rerunInParts(s, f) : account(s, f, count);
        if (status != SieveStatus::Done) return status;
        ++landed;
        landedNext = f.next;
        landedWalkDone = f.walkDone;
        // A finished exponent gets no checkpoint here: its walk position lies
        // past kEnd, and the driver records its end after the summary.
        if (hooks.batchLanded) hooks.batchLanded(state, landedWalkDone ? kEnd : landedNext);
        if (!landedWalkDone && checkpointDue(state, hooks)) {
            hooks.checkpoint(state, landedNext);
            state.checkpointClock = hooks.clockSeconds();
        }
    }
    if (hooks.stopRequested() != 0 && !landedWalkDone) {
        state.kCurrent = landedNext;
        hooks.checkpoint(state, landedNext);
        return SieveStatus::Stopped;
    }
    return SieveStatus::Done;
}

}  // namespace kalvenor
