// A device for the sieve tests that runs no arithmetic: it records every
// batch it is given and answers with the result records a test chooses, so
// the tests can see exactly what the sieve sends and how it reads back.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "kernels/kernel_args.h"
#include "support/forwarding_runtime.h"

namespace kalvenor::testing {

class SpyRuntime : public ForwardingRuntime {
public:
    struct Launch {
        int kernelIndex;
        uint32_t blocks, threadsPerBlock, n, count;
        std::vector<uint64_t> batch;  // the first count slots of the device batch
    };

    SpyRuntime() : ForwardingRuntime(makeHostRuntime(1)) {}

    // The multipliers the fake kernel passes. It appends them as a device
    // does: word 0 counts every one, only three get a record.
    std::set<uint64_t> passing;
    int failSynchronize = 0, failLaunch = 0;  // upcoming calls that fail, counted down
    std::function<void()> onLaunch;           // e.g. to move a fake clock

    std::vector<Launch> launches;
    std::vector<std::size_t> asyncCopyBytes;
    int resultClears = 0;  // synchronous copies into the result buffer
    uint32_t* deviceResult = nullptr;

    // Garbage, not zeros: the sieve must clear what it relies on.
    int allocateHost(void** p, std::size_t bytes) override { return spoiled(ForwardingRuntime::allocateHost(p, bytes), p, bytes); }
    int allocateDevice(void** p, std::size_t bytes) override {
        const int code = spoiled(ForwardingRuntime::allocateDevice(p, bytes), p, bytes);
        if (bytes == kResultBufferWords * sizeof(uint32_t)) deviceResult = static_cast<uint32_t*>(*p);
        return code;
    }
    int copyToDevice(void* device, const void* host, std::size_t bytes) override {
        resultClears += device == deviceResult;
        return ForwardingRuntime::copyToDevice(device, host, bytes);
    }
    int copyToDeviceAsync(void* device, const void* host, std::size_t bytes) override {
        asyncCopyBytes.push_back(bytes);
        return ForwardingRuntime::copyToDeviceAsync(device, host, bytes);
    }
    int launch(int kernelIndex, uint32_t blocks, uint32_t threadsPerBlock, const KernelArgs& args) override {
        if (due(failLaunch)) return kLaunchFailure;
        launches.push_back({kernelIndex, blocks, threadsPerBlock, args.n, args.count, {args.candidates, args.candidates + args.count}});
        for (uint64_t k : launches.back().batch) {
            if (passing.count(k) == 0) continue;
            if (const uint32_t r = args.result[0]++; r < kResultRecords) {
                args.result[3 * r + 1] = static_cast<uint32_t>(k);
                args.result[3 * r + 2] = static_cast<uint32_t>(k >> 32);
            }
        }
        if (launches.size() > 100000) std::abort();  // a walk that wrapped at 2^64
        if (onLaunch) onLaunch();
        return 0;
    }
    int synchronize() override { return due(failSynchronize) ? kSyncFailure : 0; }
    std::string errorText(int code) const override {
        return code == kSyncFailure ? "spy device lost" : code == kLaunchFailure ? "spy launch refused" : ForwardingRuntime::errorText(code);
    }

    static constexpr int kSyncFailure = 999, kLaunchFailure = 998;

    std::vector<uint64_t> sent() const {  // every multiplier sent, in order of sending
        std::vector<uint64_t> all;
        for (const Launch& l : launches) all.insert(all.end(), l.batch.begin(), l.batch.end());
        return all;
    }

private:
    static bool due(int& failures) { return failures > 0 && failures-- > 0; }
    static int spoiled(int code, void** p, std::size_t bytes) {
        if (code == 0) std::memset(*p, 0xA5, bytes);
        return code;
    }
};

}  // namespace kalvenor::testing
