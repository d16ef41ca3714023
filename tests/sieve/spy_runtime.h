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
#include "kernels/runtime.h"

namespace kalvenor::testing {

class SpyRuntime : public Runtime {
public:
    struct Launch {
        int kernelIndex;
        uint32_t blocks, threadsPerBlock;
        uint32_t n, count;
        std::vector<uint64_t> batch;  // the first count slots of the device batch
    };

    // The multipliers the fake kernel passes. It appends them as a device
    // does: word 0 counts every one, only three get a record.
    std::set<uint64_t> passing;
    // Upcoming calls that fail, counted down.
    int failSynchronize = 0, failLaunch = 0;
    // Called at every launch, after recording it (e.g. to move a fake clock).
    std::function<void(const Launch&)> onLaunch;

    std::vector<Launch> launches;
    std::vector<std::size_t> asyncCopyBytes;
    int resultClears = 0;  // synchronous copies into a result buffer
    uint32_t* deviceResult = nullptr;

    RuntimeKind kind() const override { return RuntimeKind::Host; }
    int runtimeVersion() const override { return 0; }
    int driverVersion() const override { return 0; }
    int selectDevice(int) override { return 0; }
    int deviceProperties(DeviceInfo& info) override { info = DeviceInfo{"spy", 0, 0, 1, 0}; return 0; }
    void setBlockingSync() override {}

    int allocateHost(void** p, std::size_t bytes) override { return allocate(p, bytes); }
    int allocateDevice(void** p, std::size_t bytes) override {
        const int code = allocate(p, bytes);
        if (bytes == kResultWords * sizeof(uint32_t)) deviceResult = static_cast<uint32_t*>(*p);
        return code;
    }
    int freeHost(void* p) override { std::free(p); return 0; }
    int freeDevice(void* p) override { std::free(p); return 0; }

    int copyToDevice(void* device, const void* host, std::size_t bytes) override {
        resultClears += device == deviceResult;
        return copy(device, host, bytes);
    }
    int copyToDeviceAsync(void* device, const void* host, std::size_t bytes) override {
        asyncCopyBytes.push_back(bytes);
        return copy(device, host, bytes);
    }
    int copyToHost(void* host, const void* device, std::size_t bytes) override { return copy(host, device, bytes); }

    int launch(int kernelIndex, uint32_t blocks, uint32_t threadsPerBlock,
               const KernelArgs& args) override {
        if (due(failLaunch)) return kLaunchFailure;
        Launch l{kernelIndex, blocks, threadsPerBlock, args.n, args.count,
                 std::vector<uint64_t>(args.candidates, args.candidates + args.count)};
        for (uint64_t k : l.batch) {
            if (passing.count(k) == 0) continue;
            const uint32_t r = args.result[0]++;
            if (r < kResultRecords) {
                args.result[3 * r + 1] = static_cast<uint32_t>(k);
                args.result[3 * r + 2] = static_cast<uint32_t>(k >> 32);
            }
        }
        launches.push_back(std::move(l));
        if (onLaunch) onLaunch(launches.back());
        return 0;
    }
    int synchronize() override { return due(failSynchronize) ? kSyncFailure : 0; }

    std::string errorText(int code) const override {
        return code == kSyncFailure ? "spy device lost" : "spy launch refused";
    }

    static constexpr int kSyncFailure = 999;
    static constexpr int kLaunchFailure = 998;

    // Every multiplier sent, in order of sending.
    std::vector<uint64_t> sent() const {
        std::vector<uint64_t> all;
        for (const Launch& l : launches) all.insert(all.end(), l.batch.begin(), l.batch.end());
        return all;
    }

private:
    static bool due(int& failures) { return failures > 0 && failures-- > 0; }
    static int copy(void* to, const void* from, std::size_t bytes) {
        std::memcpy(to, from, bytes);
        return 0;
    }
    static int allocate(void** p, std::size_t bytes) {
        // Garbage, not zeros: the sieve must clear what it relies on.
        *p = std::malloc(bytes);
        if (*p == nullptr) return 2;
        std::memset(*p, 0xA5, bytes);
        return 0;
    }
};

}  // namespace kalvenor::testing
