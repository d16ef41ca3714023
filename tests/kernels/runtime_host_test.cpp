// The host-emulated device's own facts, the choice between it and the GPU,
// and the CPU description it reports.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>

#include "kernels/cpu_info.h"
#include "kernels/runtime.h"

namespace kalvenor {
namespace {

// Workers 0 means one per hardware thread.
TEST(HostDevice, DescribesTheCpuAndItsWorkers) {
    const CpuInfo cpu = readCpuInfo();
    EXPECT_FALSE(cpu.modelName.empty());
    EXPECT_GE(cpu.hardwareThreads, 1u);
    EXPECT_EQ(hardwareThreads(), cpu.hardwareThreads);
    for (unsigned workers : {0u, 1u, 3u}) {
        SCOPED_TRACE(workers);
        auto rt = makeHostRuntime(workers);
        EXPECT_EQ(RuntimeKind::Host, rt->kind());
        EXPECT_EQ(0, rt->runtimeVersion());
        EXPECT_EQ(0, rt->driverVersion());
        EXPECT_EQ(0, rt->selectDevice(0));
        DeviceInfo info;
        ASSERT_EQ(0, rt->deviceProperties(info));
        EXPECT_EQ(cpu.modelName, info.name);
        EXPECT_EQ(0, info.major);
        EXPECT_EQ(0, info.minor);
        EXPECT_EQ(static_cast<int>(workers != 0 ? workers : hardwareThreads()), info.multiProcessorCount);
        EXPECT_GE(info.clockRate, 0);
        rt->setBlockingSync();
    }
}

TEST(HostDevice, BuffersAreAlignedAndUsable) {
    auto rt = makeHostRuntime(2);
    for (std::size_t bytes : {std::size_t{0}, std::size_t{1}, std::size_t{40}, std::size_t{8u << 20}}) {
        SCOPED_TRACE(bytes);
        void* host = nullptr;
        void* device = nullptr;
        ASSERT_EQ(0, rt->allocateHost(&host, bytes));
        ASSERT_EQ(0, rt->allocateDevice(&device, bytes));
        ASSERT_NE(nullptr, host);
        ASSERT_NE(nullptr, device);
        EXPECT_EQ(0u, reinterpret_cast<std::uintptr_t>(host) % 64);
        EXPECT_EQ(0u, reinterpret_cast<std::uintptr_t>(device) % 64);
        if (bytes > 0) {
            auto* h = static_cast<unsigned char*>(host);
            for (std::size_t i = 0; i < bytes; i += 4093) h[i] = static_cast<unsigned char>(i * 7 + 1);
            h[bytes - 1] = 0x5a;
            ASSERT_EQ(0, rt->copyToDeviceAsync(device, host, bytes));
            ASSERT_EQ(0, rt->synchronize());
            std::fill(h, h + bytes, 0);
            ASSERT_EQ(0, rt->copyToHost(host, device, bytes));
            for (std::size_t i = 0; i + 1 < bytes; i += 4093) ASSERT_EQ(static_cast<unsigned char>(i * 7 + 1), h[i]) << i;
            EXPECT_EQ(0x5a, h[bytes - 1]);
        }
        EXPECT_EQ(0, rt->freeHost(host));
        EXPECT_EQ(0, rt->freeDevice(device));
    }
    EXPECT_EQ(0, rt->freeHost(nullptr));
    EXPECT_EQ(0, rt->freeDevice(nullptr));
}

// Only device 0 exists, and a request no host can meet is "out of memory":
// error numbers with a text, never an exception or abort.
TEST(HostDevice, ErrorsAreNumbersWithATextOfTheirOwn) {
    auto rt = makeHostRuntime(1);
    EXPECT_EQ("no error", rt->errorText(0));
    EXPECT_EQ("out of memory", rt->errorText(2));
    for (int ordinal : {1, -1, 7}) {
        const int code = rt->selectDevice(ordinal);
        EXPECT_NE(0, code) << ordinal;
        EXPECT_NE("no error", rt->errorText(code));
    }
    void* p = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(2, rt->allocateHost(&p, std::numeric_limits<std::size_t>::max() - 8));
    EXPECT_EQ(nullptr, p);
    p = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(2, rt->allocateDevice(&p, std::size_t{1} << 62));
    EXPECT_EQ(nullptr, p);
    EXPECT_FALSE(rt->errorText(12345).empty());
    EXPECT_NE("no error", rt->errorText(12345));
}

// ---- the choice of device ----

TEST(ChooseRuntime, TheHostDeviceOnRequest) {
    for (int ordinal : {0, 3}) {
        RuntimeChoice choice = chooseRuntime(true, ordinal);
        ASSERT_NE(nullptr, choice.runtime);
        EXPECT_EQ(RuntimeKind::Host, choice.runtime->kind());
        EXPECT_EQ("the host device was requested", choice.whyHost);
    }
}

TEST(ChooseRuntime, EitherCudaOrAReason) {
    RuntimeChoice choice = chooseRuntime(false, 0);
    ASSERT_NE(nullptr, choice.runtime);
    if (choice.runtime->kind() == RuntimeKind::Cuda) {
        EXPECT_TRUE(choice.whyHost.empty()) << choice.whyHost;
        EXPECT_GT(choice.runtime->runtimeVersion(), 0);
        EXPECT_GT(choice.runtime->driverVersion(), 0);
        DeviceInfo info;
        ASSERT_EQ(0, choice.runtime->selectDevice(0));
        ASSERT_EQ(0, choice.runtime->deviceProperties(info));
        EXPECT_FALSE(info.name.empty());
        EXPECT_GT(info.major, 0);
        EXPECT_GT(info.multiProcessorCount, 0);
        EXPECT_GT(info.clockRate, 0);
    } else {
        EXPECT_FALSE(choice.whyHost.empty());
    }
}

#if KALVENOR_WITH_CUDA
TEST(ChooseRuntime, CudaBuildKnowsItsVersion) { EXPECT_GE(compiledCudaVersion(), 7000); }

TEST(ChooseRuntime, AMissingDeviceFallsBackWithTheReason) {
    RuntimeChoice choice = chooseRuntime(false, 64);
    ASSERT_NE(nullptr, choice.runtime);
    EXPECT_EQ(RuntimeKind::Host, choice.runtime->kind());
    const RuntimeChoice first = chooseRuntime(false, 0);
    if (first.runtime->kind() == RuntimeKind::Cuda) {
        EXPECT_EQ(0u, choice.whyHost.find("CUDA device 64 does not exist")) << choice.whyHost;
    } else {
        // No usable GPU at all: the same reason whatever the ordinal.
        EXPECT_EQ(first.whyHost, choice.whyHost);
    }
}

// Without a driver the reason says so and carries the runtime's own error.
TEST(ChooseRuntime, NoDriverIsNamed) {
    RuntimeChoice choice = chooseRuntime(false, 0);
    if (choice.runtime->kind() == RuntimeKind::Cuda) GTEST_SKIP() << "this machine has a GPU";
    std::printf("falls back to the host device: %s\n", choice.whyHost.c_str());
    if (choice.whyHost.rfind("no CUDA driver", 0) == 0) {
        EXPECT_NE(std::string::npos, choice.whyHost.find("cudaDriverGetVersion reports 0"));
        EXPECT_NE(std::string::npos, choice.whyHost.find("cudaGetDeviceCount: "));
    }
}
#else
TEST(ChooseRuntime, BuiltWithoutCuda) {
    EXPECT_EQ(0, compiledCudaVersion());
    for (int ordinal : {0, 1}) {
        RuntimeChoice choice = chooseRuntime(false, ordinal);
        EXPECT_EQ(RuntimeKind::Host, choice.runtime->kind());
        EXPECT_EQ("built without CUDA", choice.whyHost);
    }
}
#endif

// ---- /proc/cpuinfo ----

TEST(CpuInfo, ParsesNameAndClock) {
    struct Case {
        const char* name;
        const char* text;
        const char* model;
        int clockKHz;
    };
    const Case cases[] = {
        {"x86", "processor\t: 0\nvendor_id\t: AuthenticAMD\nmodel name\t: AMD EPYC 7B13 64-Core Processor\n"
                "cpu MHz\t\t: 2596.144\ncache size\t: 512 KB\n\nprocessor\t: 1\n"
                "model name\t: AMD EPYC 7B13 64-Core Processor\ncpu MHz\t\t: 1800.000\n",
         "AMD EPYC 7B13 64-Core Processor", 2596144},
        {"padded name", "model name\t:   Intel(R) Xeon(R)   CPU    @ 2.20GHz  \ncpu MHz : 2200\n",
         "Intel(R) Xeon(R) CPU @ 2.20GHz", 2200000},
        {"no clock", "model name : Some CPU\n", "Some CPU", 0},
        {"clock not a number", "model name : Some CPU\ncpu MHz : unknown\n", "Some CPU", 0},
        {"ARM without a model name", "processor : 0\nBogoMIPS : 50.00\nHardware : BCM2835\n", "BCM2835", 0},
        {"model name wins over other keys", "Hardware : Board\nmodel name : Real CPU\n", "Real CPU", 0},
        {"empty model name", "model name :\ncpu MHz : 1000.4\n", "unknown CPU", 1000400},
        {"nothing at all", "", "unknown CPU", 0},
        {"no trailing newline", "model name : Last Line", "Last Line", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const CpuInfo info = parseCpuInfo(c.text);
        EXPECT_EQ(c.model, info.modelName);
        EXPECT_EQ(c.clockKHz, info.clockKHz);
    }
}

}  // namespace
}  // namespace kalvenor
