// The strict GPU emulation against the CUDA rules it models, each shown by
// what a kernel saw or a wait returned; and the runtime the program uses,
// over it, keeping the rules a GPU holds it to.
#include "device/emulated_cuda.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "device/gpu_profiles.h"
#include "device/runtime.h"
#include "device/transfer_buffers.h"
#include "kernels/kernel_args.h"
#include "kernels/kernel_table.h"
#include "kernels/launch_limits.h"

namespace kalvenor::testing {
namespace {

// A factor that kernel 0 tests at n = 36; the garbage of fresh memory and
// k = 0 are multipliers it leaves alone.
constexpr uint64_t kFactorK = 25709319373ull;
constexpr uint32_t kFactorN = 36;

using Copy = CudaApi::Copy;

// One slot's batch and a result buffer on both sides, a made stream and an event.
struct Rig {
    std::unique_ptr<CudaApi> api = makeEmulatedCuda(*findGpuProfile("h100"), 2);
    uint64_t* pinnedBatch = nullptr;
    uint64_t* deviceBatch = nullptr;
    uint32_t* pinnedResult = nullptr;
    uint32_t* deviceResult = nullptr;
    CudaApi::Stream stream = nullptr;
    CudaApi::Event event = nullptr;

    Rig() {
        EXPECT_EQ(0, api->hostAlloc(reinterpret_cast<void**>(&pinnedBatch), 8));
        EXPECT_EQ(0, api->malloc(reinterpret_cast<void**>(&deviceBatch), 8));
        EXPECT_EQ(0, api->hostAlloc(reinterpret_cast<void**>(&pinnedResult), kResultBufferWords * 4));
        EXPECT_EQ(0, api->malloc(reinterpret_cast<void**>(&deviceResult), kResultBufferWords * 4));
        std::fill(pinnedResult, pinnedResult + kResultBufferWords, 0u);
        EXPECT_EQ(0, api->memcpy(deviceResult, pinnedResult, kResultBufferWords * 4, Copy::HostToDevice));
        EXPECT_EQ(0, api->streamCreateNonBlocking(&stream));
        EXPECT_EQ(0, api->eventCreateBlockingSync(&event));
    }
    int launch(CudaApi::Stream in, const uint64_t* batch = nullptr) {
        return api->launchKernel(0, 1, 256, KernelArgs{deviceResult, batch ? batch : deviceBatch, kFactorN, 1, nullptr}, in);
    }
    // Kernel 0 over the batch in the made stream, that stream waited for:
    // the wait's status and what the kernel counted.
    std::vector<int64_t> launchAndWait() {
        launch(stream);
        return {api->streamSynchronize(stream), counted()};
    }
    // The factors counted so far, as a copy in the legacy stream sees them.
    int64_t counted() {
        pinnedResult[0] = 7777;
        const int code = api->memcpy(pinnedResult, deviceResult, 4, Copy::DeviceToHost);
        return code != 0 ? -code : pinnedResult[0];
    }
};

struct Rule {
    const char* name;
    std::function<std::vector<int64_t>(Rig&)> observe;
    std::vector<int64_t> expected;
};

const Rule kRules[] = {
    {"a copy from pageable memory has not landed when a made stream's kernel runs",
     [](Rig& r) {
         const std::vector<uint64_t> batch{kFactorK};
         r.api->memcpy(r.deviceBatch, batch.data(), 8, Copy::HostToDevice);
         return r.launchAndWait();
     },
     {0, 0}},
    {"it has once the device is waited for",
     [](Rig& r) {
         const std::vector<uint64_t> batch{kFactorK};
         r.api->memcpy(r.deviceBatch, batch.data(), 8, Copy::HostToDevice);
         r.api->deviceSynchronize();
         return r.launchAndWait();
     },
     {0, 1}},
    {"a copy from page-locked memory has landed on return",
     [](Rig& r) {
         r.pinnedBatch[0] = kFactorK;
         r.api->memcpy(r.deviceBatch, r.pinnedBatch, 8, Copy::HostToDevice);
         return r.launchAndWait();
     },
     {0, 1}},
    {"an asynchronous copy reads host memory when it runs, not when it is queued",
     [](Rig& r) {
         r.pinnedBatch[0] = 0;
         r.api->memcpyAsync(r.deviceBatch, r.pinnedBatch, 8, Copy::HostToDevice, r.stream);
         r.pinnedBatch[0] = kFactorK;
         return r.launchAndWait();
     },
     {0, 1}},
    {"and writes host memory only when its stream is waited for",
     [](Rig& r) {
         r.pinnedBatch[0] = kFactorK;
         r.api->memcpyAsync(r.deviceBatch, r.pinnedBatch, 8, Copy::HostToDevice, r.stream);
         r.launch(r.stream);
         r.pinnedResult[0] = 7777;
         r.api->memcpyAsync(r.pinnedResult, r.deviceResult, 4, Copy::DeviceToHost, r.stream);
         const int64_t before = r.pinnedResult[0];
         r.api->streamSynchronize(r.stream);
         return std::vector<int64_t>{before, r.pinnedResult[0]};
     },
     {7777, 1}},
    {"an event's wait runs its stream up to the record and no further",
     [](Rig& r) {
         r.pinnedBatch[0] = kFactorK;
         r.api->memcpyAsync(r.deviceBatch, r.pinnedBatch, 8, Copy::HostToDevice, r.stream);
         r.launch(r.stream);
         r.api->eventRecord(r.event, r.stream);
         r.launch(r.stream);
         const int waited = r.api->eventSynchronize(r.event);
         const int64_t atEvent = r.counted();
         r.api->streamSynchronize(r.stream);
         return std::vector<int64_t>{waited, atEvent, r.counted()};
     },
     {0, 1, 2}},
    {"a copy in the legacy stream does not wait for a made stream; the device's wait does",
     [](Rig& r) {
         r.pinnedBatch[0] = kFactorK;
         r.api->memcpyAsync(r.deviceBatch, r.pinnedBatch, 8, Copy::HostToDevice, r.stream);
         r.launch(r.stream);
         const int64_t unwaited = r.counted();
         r.api->deviceSynchronize();
         return std::vector<int64_t>{unwaited, r.counted()};
     },
     {0, 1}},
    {"a launch outside CUDA's limits fails at the call; one at a limit is taken",
     [](Rig& r) {
         const GpuSieveArgs none{};
         return std::vector<int64_t>{
             r.api->launchKernel(0, kMaxGridBlocks + 1u, 256, KernelArgs{r.deviceResult, r.deviceBatch, kFactorN, 1, nullptr}, r.stream),
             r.api->launchKernel(0, 1, kMaxThreadsPerBlock + 1, KernelArgs{r.deviceResult, r.deviceBatch, kFactorN, 1, nullptr}, r.stream),
             r.api->launchKernel(0, 0, 256, KernelArgs{r.deviceResult, r.deviceBatch, kFactorN, 1, nullptr}, r.stream),
             r.api->launchSievePhase({SievePhase::Windows, 1, kMaxStaticSharedBytes + 1}, none, r.stream),
             r.api->launchKernel(kKernelCount, 1, 256, KernelArgs{r.deviceResult, r.deviceBatch, kFactorN, 1, nullptr}, r.stream),
             r.api->launchKernel(0, kMaxGridBlocks, kMaxThreadsPerBlock, KernelArgs{r.deviceResult, r.deviceBatch, kFactorN, 1, nullptr},
                                 r.stream),
             r.api->streamSynchronize(r.stream)};
     },
     {9, 9, 9, 9, 98, 0, 0}},
    {"a kernel that reads pageable memory faults at the wait, and the context stays lost",
     [](Rig& r) {
         const std::vector<uint64_t> batch{kFactorK};
         void* p = nullptr;
         return std::vector<int64_t>{r.launch(r.stream, batch.data()), r.api->streamSynchronize(r.stream), r.api->malloc(&p, 8),
                                     r.launch(nullptr)};
     },
     {0, 700, 700, 700}},
    {"freeing waits for nothing: queued work that uses the memory faults when it runs",
     [](Rig& r) {
         r.launch(r.stream);
         return std::vector<int64_t>{r.api->free(r.deviceBatch), r.api->deviceSynchronize()};
     },
     {0, 700}},
    {"device memory ends where the profile's does; fresh memory holds garbage",
     [](Rig& r) {
         void *huge = nullptr, *small = nullptr;
         const int refused = r.api->malloc(&huge, findGpuProfile("h100")->memoryBytes);
         r.api->malloc(&small, 4);
         r.api->memcpy(r.pinnedResult, small, 4, Copy::DeviceToHost);
         return std::vector<int64_t>{refused, huge == nullptr, r.pinnedResult[0] & 0xff};
     },
     {2, 1, kEmulatedGarbage}},
    {"a copy that names host memory as device memory is refused; an unknown stream too",
     [](Rig& r) {
         const std::vector<uint64_t> batch{kFactorK};
         uint64_t elsewhere = 0;
         return std::vector<int64_t>{r.api->memcpy(&elsewhere, batch.data(), 8, Copy::HostToDevice),
                                     r.api->memcpyAsync(r.pinnedBatch, batch.data(), 8, Copy::HostToDevice, r.stream),
                                     r.launch(&elsewhere), r.api->eventSynchronize(r.event)};
     },
     {1, 1, 400, 0}},
};

class CudaRule : public ::testing::TestWithParam<Rule> {};

TEST_P(CudaRule, HoldsAsCudaDocumentsIt) {
    Rig rig;
    EXPECT_EQ(GetParam().observe(rig), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(EmulatedGpu, CudaRule, ::testing::ValuesIn(kRules), [](const auto& info) {
    std::string name;
    for (const char* c = info.param.name; *c != '\0' && name.size() < 60; ++c)
        if (std::isalnum(static_cast<unsigned char>(*c))) name += *c;
    return std::to_string(info.index) + "_" + name;
});

// The program's runtime over the emulation: a copy it makes is on the
// device before any queue reads it, whatever memory it came from, and it
// launches the largest batch the GPU sieve may leave, on every profile.
TEST(EmulatedGpu, RuntimeCopiesLandFirstAndTheLargestSievedBatchLaunches) {
    for (const char* key : {"t4", "a100", "rtx4090", "h100", "b200"}) {
        SCOPED_TRACE(key);
        const std::unique_ptr<Runtime> runtime = makeEmulatedGpuRuntime(*findGpuProfile(key), 2);
        ASSERT_EQ(runtime->emulation(), key);
        TransferBuffers buffers;
        ASSERT_EQ(0, allocateTransferBuffers(*runtime, buffers, 256));
        ASSERT_EQ(0, clearResult(*runtime, buffers));
        const std::vector<uint64_t> batch{kFactorK};
        ASSERT_EQ(0, runtime->copyToDevice(buffers.deviceBatch, batch.data(), 8));
        const KernelArgs args{buffers.deviceResult, buffers.deviceBatch, kFactorN, 1, nullptr};
        EXPECT_EQ(0, runtime->launch(0, kMostSievedBatch / kThreadsPerBlock, kThreadsPerBlock, args, 1));
        EXPECT_EQ(0, runtime->waitQueue(1));
        EXPECT_EQ(0, runtime->copyToHost(buffers.hostResult, buffers.deviceResult, 4));
        EXPECT_EQ(1u, buffers.hostResult[0]) << "the kernel tested the batch before it had landed";
        EXPECT_EQ(0, releaseTransferBuffers(*runtime, buffers));
    }
}

}  // namespace
}  // namespace kalvenor::testing
