// Kernel-only rates on the device the program would use: per kernel, a batch
// of random multipliers it serves already on the device, one warm-up launch,
// then several launches timed together, with no copies in between; on a GPU
// each rate is also given as its share of the IMAD roofline
//   SMs * 64 IMAD/clock * clock / (2 IMAD per 32x32->64 product)
//       / (products per squaring * (n - 1) squarings),
//   products per squaring = w(w-1)/2 + w + w(w-q).
//
//   kernel_rates [--device cpu] [--batch N] [--launches L] [--n N,N,...]
// Without --n each kernel runs at n = 32q + 16; with it, the lower-level
// kernel of each n's window runs at that n.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "arith/coverage.h"
#include "device/gpu_profiles.h"
#include "device/runtime.h"
#include "device/runtime_error.h"
#include "device/transfer_buffers.h"
#include "kernels/edge_cases.h"
#include "kernels/kernel_table.h"

namespace kalvenor {
namespace {

struct Settings {
    bool forceHost = false;
    uint32_t batch = 0;  // 0: a full batch on a GPU, 16384 on the host
    int launches = 0;    // 0: 10 on a GPU, 2 on the host
    std::vector<uint32_t> exponents;
};

Settings parse(int argc, char** argv) {
    Settings s;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : "";
        if (a == "--device" && std::string(value) == "cpu") s.forceHost = true, ++i;
        else if (a == "--batch") s.batch = static_cast<uint32_t>(std::strtoul(value, nullptr, 10)), ++i;
        else if (a == "--launches") s.launches = std::atoi(value), ++i;
        else if (a == "--n") {
            std::stringstream list(value);
            for (std::string n; std::getline(list, n, ',');) s.exponents.push_back(static_cast<uint32_t>(std::stoul(n)));
            ++i;
        } else {
            std::fprintf(stderr, "usage: kernel_rates [--device cpu] [--batch N] [--launches L] [--n N,N,...]\n");
            std::exit(2);
        }
    }
    return s;
}

int run(int argc, char** argv) {
    Settings settings = parse(argc, argv);
    const std::optional<EmulationRequest> emulation = emulationRequested();
    if (emulation && emulation->profile == nullptr) {
        std::fprintf(stderr, "KALVENOR_EMULATE_GPU=%s: not one of %s\n", emulation->name.c_str(), gpuProfileKeys().c_str());
        return 2;
    }
    RuntimeChoice choice = chooseRuntime(settings.forceHost, 0, {}, 0, emulation ? emulation->profile : nullptr);
    Runtime& runtime = *choice.runtime;
    const bool gpu = runtime.kind() == RuntimeKind::Cuda;
    DeviceInfo device;
    if (KALVENOR_FAILED(runtime, runtime.selectDevice(0)) || KALVENOR_FAILED(runtime, runtime.deviceProperties(device))) return 1;
    if (settings.batch == 0) settings.batch = gpu ? kBatchCapacity : 16384;
    if (settings.launches <= 0) settings.launches = gpu ? 10 : 2;
    settings.batch = std::min(settings.batch, kBatchCapacity);
    std::printf("device: %s, %d %s at %d MHz; batch %u, %d timed launches\n", device.name.c_str(),
                device.multiProcessorCount, gpu ? "multiprocessors" : "threads (host device)", device.clockRate / 1000,
                settings.batch, settings.launches);

    std::vector<std::pair<int, uint32_t>> runs;  // kernel, n
    if (settings.exponents.empty())
        for (int index = 0; index < kKernelCount; ++index) runs.emplace_back(index, 32 * kKernels[index].q + 16);
    for (uint32_t n : settings.exponents) {
        if (n < kMinExponent || n > kMaxExponent) continue;
        runs.emplace_back(kernelIndexOf(windowOf(n), lowerLevel(windowOf(n))), n);
    }

    TransferBuffers buffers;
    if (allocateTransferBuffers(runtime, buffers, settings.batch) != 0) return 1;
    std::mt19937_64 random(36);
    std::printf("%-26s %4s %16s %16s %7s\n", "kernel", "n", "candidates/s", "roofline/s", "share");
    for (const auto& [index, n] : runs) {
        const KernelEntry& kernel = kKernels[static_cast<std::size_t>(index)];
        for (uint32_t i = 0; i < settings.batch; ++i) buffers.hostBatch[i] = randomServedMultiplier(kernel.w, n, random);
        const uint32_t blocks = (settings.batch + kThreadsPerBlock - 1) / kThreadsPerBlock;
        const KernelArgs args{buffers.deviceResult, buffers.deviceBatch, n, settings.batch, nullptr};
        if (KALVENOR_FAILED(runtime, runtime.copyToDevice(buffers.deviceBatch, buffers.hostBatch, settings.batch * sizeof(uint64_t))) ||
            KALVENOR_FAILED(runtime, clearResult(runtime, buffers)) ||
            KALVENOR_FAILED(runtime, runtime.launch(index, blocks, kThreadsPerBlock, args, 1)) ||  // warm-up
            KALVENOR_FAILED(runtime, runtime.waitQueue(1)))
            return 1;
        const auto start = std::chrono::steady_clock::now();
        for (int l = 0; l < settings.launches; ++l)
            if (KALVENOR_FAILED(runtime, runtime.launch(index, blocks, kThreadsPerBlock, args, 1))) return 1;
        if (KALVENOR_FAILED(runtime, runtime.waitQueue(1))) return 1;
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const double rate = settings.launches * static_cast<double>(settings.batch) / seconds;
        const double w = kernel.w, q = kernel.q;
        const double products = w * (w - 1) / 2 + w + w * (w - q);
        const double roofline = device.multiProcessorCount * 64.0 * device.clockRate * 1e3 / 2 / (products * (n - 1));
        if (gpu)
            std::printf("%-26s %4u %16.0f %16.0f %6.1f%%\n", kernel.name, n, rate, roofline, 100 * rate / roofline);
        else
            std::printf("%-26s %4u %16.0f %16s %7s\n", kernel.name, n, rate, "-", "-");
        std::fflush(stdout);
    }
    return releaseTransferBuffers(runtime, buffers) == 0 ? 0 : 1;
}

}  // namespace
}  // namespace kalvenor

int main(int argc, char** argv) { return kalvenor::run(argc, argv); }
