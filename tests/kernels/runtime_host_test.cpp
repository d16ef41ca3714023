// The host-emulated device's own facts, the choice between it and the GPU,
// and the CPU description it reports.
#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <limits>
#include <string>

#include "device/cpu_info.h"
#include "device/runtime.h"
#include "device/thread_pool.h"

namespace kalvenor {
namespace {

// Workers 0 means one per hardware thread; only device 0 exists, and a
// request no host can meet is "out of memory": error numbers with a text of
// their own, never an abort.
TEST(HostDevice, DescribesItselfAndRefusesWithErrorNumbers) {
    for (unsigned workers : {0u, 3u}) {
        auto rt = makeHostRuntime(workers);
        DeviceInfo info;
        ASSERT_EQ(0, rt->deviceProperties(info));
        EXPECT_EQ(readCpuInfo().modelName, info.name);
        EXPECT_EQ(static_cast<int>(workers != 0 ? workers : hardwareThreads()), info.multiProcessorCount);
    }
    auto rt = makeHostRuntime(1);
    EXPECT_EQ(0, rt->selectDevice(0));
    for (int ordinal : {1, -1}) EXPECT_NE("no error", rt->errorText(rt->selectDevice(ordinal)));
    void* p = reinterpret_cast<void*>(0x1);
    EXPECT_EQ("out of memory", rt->errorText(rt->allocateHost(&p, std::numeric_limits<std::size_t>::max() - 8)));
    EXPECT_EQ(nullptr, p);
    EXPECT_NE("no error", rt->errorText(12345));
}

TEST(ChooseRuntime, CudaWhenUsableOtherwiseTheHostDeviceWithTheReason) {
    for (int ordinal : {0, 3}) EXPECT_EQ("the host device was requested", chooseRuntime(true, ordinal).whyHost);
    const RuntimeChoice first = chooseRuntime(false, 0);
    const RuntimeChoice missing = chooseRuntime(false, 64);
    EXPECT_EQ(RuntimeKind::Host, missing.runtime->kind());
    if (first.runtime->kind() == RuntimeKind::Cuda) {
        EXPECT_TRUE(first.whyHost.empty()) << first.whyHost;
        EXPECT_TRUE(missing.whyHost.starts_with("CUDA device 64 does not exist")) << missing.whyHost;
    } else {
        EXPECT_FALSE(first.whyHost.empty());
        EXPECT_EQ(first.whyHost, missing.whyHost) << "no usable GPU: the same reason whatever the ordinal";
    }
#if KALVENOR_WITH_CUDA
    EXPECT_GE(compiledCudaVersion(), 7000);
#else
    EXPECT_EQ("built without CUDA", first.whyHost);
#endif
}

TEST(CpuInfo, ParsesNameAndClock) {
    const std::tuple<const char*, const char*, int> cases[] = {
        {"processor\t: 0\nmodel name\t: AMD EPYC 7B13\ncpu MHz\t\t: 2596.144\n\nprocessor\t: 1\nmodel name\t: AMD EPYC "
         "7B13\ncpu MHz\t\t: 1800.000\n",
         "AMD EPYC 7B13", 2596144},
        {"model name\t:   Intel(R) Xeon(R)   CPU  @ 2.20GHz  \ncpu MHz : unknown\n", "Intel(R) Xeon(R) CPU @ 2.20GHz", 0},
        {"Hardware : Board\nmodel name :\ncpu MHz : 1000.4", "Board", 1000400},
    };
    for (const auto& [text, model, clockKHz] : cases) {
        const CpuInfo info = parseCpuInfo(text);
        EXPECT_EQ(std::tuple(info.modelName, info.clockKHz), std::tuple(model, clockKHz)) << text;
    }
}

// A BOINC client suspends the program by holding its main thread in a
// SIGALRM handler: the workers must never take that signal, and must wait
// while the suspend lasts instead of working on.
TEST(ThreadPool, WorkersTakeNoTimerSignalAndWaitWhileSuspended) {
    std::atomic<bool> suspended{true};
    std::atomic<int> chunksRun{0}, timerTaken{0};
    ThreadPool pool(3, [&] { return suspended.load(); });
    pool.start(64, 1, [&](uint32_t, uint32_t) {
        sigset_t mask;
        pthread_sigmask(SIG_BLOCK, nullptr, &mask);
        timerTaken += sigismember(&mask, SIGALRM) == 0;
        ++chunksRun;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(chunksRun.load(), 0) << "work went on during a suspend";
    suspended = false;
    pool.wait();
    EXPECT_EQ(chunksRun.load(), 64);
    EXPECT_EQ(timerTaken.load(), 0);
    sigset_t mine;
    pthread_sigmask(SIG_BLOCK, nullptr, &mine);
    EXPECT_EQ(sigismember(&mine, SIGALRM), 0) << "the creating thread keeps taking it";
}

}  // namespace
}  // namespace kalvenor
