// A device for the sieve tests that runs no arithmetic but the checked
// slot's, with the host reference: it records every batch it is given and
// answers with the result records a test chooses, so
// the tests can see exactly what the sieve sends and how it reads back. It
// can also hold back the work of each queue until that queue is waited for,
// and then finish the other queues' work first, as a GPU that completes the
// ring's slots late and out of step.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "arith/reference_powmod.h"
#include "kernels/kernel_args.h"
#include "kernels/kernel_slot.h"
#include "support/forwarding_runtime.h"

namespace kalvenor::testing {

class SpyRuntime : public ForwardingRuntime {
public:
    struct Launch {
        int kernelIndex;
        uint32_t blocks, threadsPerBlock, n, count;
        std::vector<uint64_t> batch;  // the slots the launch tests (a sieved batch in ascending order)
        int queue;
        bool overflowed;  // the device sieve kept more than the batch holds
    };

    SpyRuntime() : ForwardingRuntime(makeHostRuntime(1)) {}

    // The multipliers the fake kernel passes. It appends them as a device
    // does: word 0 counts every one, only three get a record.
    std::set<uint64_t> passing;
    int failSynchronize = 0, failLaunch = 0;  // upcoming calls that fail, counted down
    std::function<void()> onLaunch;           // e.g. to move a fake clock
    bool late = false;                        // queued work runs only when waited for, the latest queue first

    std::vector<Launch> launches;
    int unclearedLaunches = 0;                // launches that found the result buffer not cleared

    // Garbage, not zeros: the sieve must clear what it relies on.
    int allocateHost(void** p, std::size_t bytes) override { return spoiled(ForwardingRuntime::allocateHost(p, bytes), p, bytes); }
    int allocateDevice(void** p, std::size_t bytes) override {
        const int code = spoiled(ForwardingRuntime::allocateDevice(p, bytes), p, bytes);
        return code;
    }
    int copyToDevice(void* device, const void* host, std::size_t bytes) override {
        runAll();
        return ForwardingRuntime::copyToDevice(device, host, bytes);
    }
    int copyToHost(void* host, const void* device, std::size_t bytes) override {
        runAll();
        return ForwardingRuntime::copyToHost(host, device, bytes);
    }
    int copyToDeviceAsync(void* device, const void* host, std::size_t bytes, int queue) override {
        deviceCopies_.emplace_back(device, bytes);
        return enqueue(queue, [=, this] { return ForwardingRuntime::copyToDeviceAsync(device, host, bytes, queue); });
    }
    int copyToHostAsync(void* host, const void* device, std::size_t bytes, int queue) override {
        return enqueue(queue, [=, this] { return ForwardingRuntime::copyToHostAsync(host, device, bytes, queue); });
    }
    int launchSieve(const GpuSieveArgs& args, int queue) override {
        return enqueue(queue, [=, this] { return ForwardingRuntime::launchSieve(args, queue); });
    }
    int launch(int kernelIndex, uint32_t blocks, uint32_t threadsPerBlock, const KernelArgs& args, int queue) override {
        if (due(failLaunch)) return kLaunchFailure;
        resultBuffers_.insert(args.result);
        return enqueue(queue, [=, this] {
            ForwardingRuntime::synchronize();  // a sieve in the inner device
            uint32_t count = args.count;
            const bool overflowed = args.deviceCount != nullptr && *args.deviceCount > count;
            if (args.deviceCount != nullptr) count = std::min(count, *args.deviceCount);
            std::vector<uint64_t> batch(count);
            for (uint32_t i = 0; i < count; ++i) batch[i] = candidateOf(args, i);
            if (args.offsets != nullptr) std::sort(batch.begin(), batch.end());
            unclearedLaunches += args.result[0] != 0 || args.result[kCheckedSlotWord] != 0;
            if (count > 0) {  // the checked slot, with the residue the host will find
                const uint32_t slot = checkedSlot(args.checkSeed, count);
                const uint64_t k = candidateOf(args, slot);
                const std::vector<uint32_t> residue = referenceResidue(k, args.n);
                markChecked(args.result, slot, k);
                std::copy(residue.begin(), residue.end(), args.result + kCheckedResidueWord);
            }
            for (uint64_t k : batch) {
                if (passing.count(k) == 0) continue;
                if (const uint32_t r = args.result[0]++; r < kResultRecords) {
                    args.result[3 * r + 1] = static_cast<uint32_t>(k);
                    args.result[3 * r + 2] = static_cast<uint32_t>(k >> 32);
                }
            }
            launches.push_back({kernelIndex, blocks, threadsPerBlock, args.n, count, std::move(batch), queue, overflowed});
            if (launches.size() > 100000) std::abort();  // a walk that wrapped at 2^64
            if (onLaunch) onLaunch();
            return 0;
        });
    }
    int waitQueue(int queue) override {
        if (late)
            for (int q = kQueues - 1; q >= 0; --q) run(q);  // the later slots finish first
        run(queue);
        const int code = ForwardingRuntime::waitQueue(queue);
        return due(failSynchronize) ? kSyncFailure : code;
    }
    int synchronize() override {
        runAll();
        return ForwardingRuntime::synchronize();
    }
    std::string errorText(int code) const override {
        return code == kSyncFailure ? "spy device lost" : code == kLaunchFailure ? "spy launch refused" : ForwardingRuntime::errorText(code);
    }

    static constexpr int kSyncFailure = 999, kLaunchFailure = 998;

    std::vector<std::size_t> batchCopyBytes() const {  // the sizes of host batches copied to the device
        std::vector<std::size_t> sizes;
        for (const auto& [device, bytes] : deviceCopies_)
            if (resultBuffers_.count(device) == 0) sizes.push_back(bytes);
        return sizes;
    }

    std::vector<uint64_t> sent() const {  // every multiplier tested in a batch that fit, in order of testing
        std::vector<uint64_t> all;
        for (const Launch& l : launches)
            if (!l.overflowed) all.insert(all.end(), l.batch.begin(), l.batch.end());
        return all;
    }

private:
    int enqueue(int queue, std::function<int()> work) {
        if (!late) return work();
        pending_[queue].push_back(std::move(work));
        return 0;
    }
    void run(int queue) {
        for (auto& work : pending_[queue]) work();
        pending_[queue].clear();
    }
    void runAll() {
        for (int q = 0; q < kQueues; ++q) run(q);
    }
    static bool due(int& failures) { return failures > 0 && failures-- > 0; }
    static int spoiled(int code, void** p, std::size_t bytes) {
        if (code == 0) std::memset(*p, 0xA5, bytes);
        return code;
    }

    std::vector<std::function<int()>> pending_[kQueues];
    std::set<const void*> resultBuffers_;
    std::vector<std::pair<const void*, std::size_t>> deviceCopies_;
};

}  // namespace kalvenor::testing
