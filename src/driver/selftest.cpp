#include "driver/selftest.h"

#include <chrono>
#include <cinttypes>
#include <random>
#include <string>
#include <vector>

#include "arith/coverage.h"
#include "arith/reference_powmod.h"
#include "device/cpu_info.h"
#include "device/thread_pool.h"
#include "device/transfer_buffers.h"
#include "kernels/edge_cases.h"
#include "kernels/kernel_args.h"
#include "kernels/kernel_table.h"
#include "sieve/device_sieve.h"

namespace kalvenor {

namespace {

struct KnownFactor {
    uint64_t k;
    uint32_t n;
};

// Factors of Fermat numbers, each checked against GMP by the tests; each
// lies in the reach of one kernel.
constexpr KnownFactor kKnownFactors[] = {
    {25709319373ull, 36}, {76432329ull, 74},  {5ull, 127},   {1527888802614951ull, 120},
    {32111ull, 217},      {403ull, 252},      {27609ull, 341}, {5769285ull, 434},
};

struct Case {
    uint64_t k;
    bool mustReport;
};

// The exponents and multipliers to check a kernel with, grouped by n: the
// edges of its level and window, a few at random, and the known factors it
// serves.
std::vector<std::pair<uint32_t, std::vector<Case>>> casesFor(const KernelEntry& kernel, std::mt19937_64& random) {
    std::vector<std::pair<uint32_t, std::vector<Case>>> groups;
    for (uint32_t n : windowExponents(kernel.q, random)) {
        std::vector<Case> cases;
        for (uint64_t k : edgeMultipliers(kernel.w, n, random)) cases.push_back({k, false});
        if (cases.empty()) continue;
        for (int i = 0; i < 4; ++i) cases.push_back({randomServedMultiplier(kernel.w, n, random), false});
        groups.emplace_back(n, std::move(cases));
    }
    for (const KnownFactor& f : kKnownFactors)
        if (windowOf(f.n) == kernel.q && wordCountOf(f.n, f.k) == kernel.w)
            groups.emplace_back(f.n, std::vector<Case>{{f.k, true}});
    return groups;
}

bool recordsHold(const uint32_t* result, uint64_t k) {
    const uint32_t records = std::min(result[0], kResultRecords);
    for (uint32_t r = 0; r < records; ++r)
        if ((uint64_t{result[3 * r + 2]} << 32 | result[3 * r + 1]) == k) return true;
    return false;
}

// Runs `ks` through kernel `index` at n; the result and residues land in the
// host buffers.
LaunchStatus launchCases(Runtime& runtime, TransferBuffers& buffers, int index, uint32_t n,
                         const std::vector<uint64_t>& ks) {
    std::copy(ks.begin(), ks.end(), buffers.hostBatch);
    if (const int code = clearResult(runtime, buffers); code != 0) return {code, LaunchStep::Copy};
    const auto count = static_cast<uint32_t>(ks.size());
    return runBatch(runtime, buffers, index, (count + kThreadsPerBlock - 1) / kThreadsPerBlock, n, count);
}

// Candidates per second of kernel `index` on a full batch of random
// multipliers, without residues.
double measureRate(Runtime& runtime, const TransferBuffers& buffers, int index, std::mt19937_64& random) {
    const KernelEntry& kernel = kKernels[static_cast<size_t>(index)];
    const uint32_t n = 32 * kernel.q + 16;
    std::vector<uint64_t> ks(buffers.capacity);
    for (uint64_t& k : ks) k = randomServedMultiplier(kernel.w, n, random);
    TransferBuffers plain = buffers;
    plain.hostResidues = plain.deviceResidues = nullptr;
    const auto start = std::chrono::steady_clock::now();
    if (!launchCases(runtime, plain, index, n, ks).ok()) return 0.0;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return seconds > 0 ? ks.size() / seconds : 0.0;
}

// What is wrong with kernel `index` on this device, or "".
std::string checkKernel(Runtime& runtime, TransferBuffers& buffers, int index, std::mt19937_64& random, int& cases) {
    for (const auto& [n, group] : casesFor(kKernels[static_cast<size_t>(index)], random)) {
        std::vector<uint64_t> ks;
        for (const Case& c : group) ks.push_back(c.k);
        if (const LaunchStatus status = launchCases(runtime, buffers, index, n, ks); !status.ok())
            return "runtime error " + std::to_string(status.code) + ": " + runtime.errorText(status.code);
        uint32_t expectedReports = 0;
        for (size_t i = 0; i < group.size(); ++i) {
            ++cases;
            const Case& c = group[i];
            const std::vector<uint32_t> expected = referenceResidue(c.k, n);
            const bool factor = referenceTest(c.k, n);
            expectedReports += factor;
            char where[64];
            std::snprintf(where, sizeof where, "k=%" PRIu64 " n=%u", c.k, n);
            for (size_t word = 0; word < expected.size() && word < kResidueStride; ++word)
                if (buffers.hostResidues[i * kResidueStride + word] != expected[word])
                    return std::string("wrong residue for ") + where;
            if ((c.mustReport || factor) && !recordsHold(buffers.hostResult, c.k))
                return std::string("factor not reported: ") + where;
        }
        if (buffers.hostResult[0] != expectedReports)
            return "reported " + std::to_string(buffers.hostResult[0]) + " factors, expected " +
                   std::to_string(expectedReports) + " at n=" + std::to_string(n);
    }
    return {};
}

}  // namespace

bool runSelftest(Runtime& runtime, std::FILE* out) {
    const bool onGpu = runtime.kind() == RuntimeKind::Cuda;
    const std::string emulated = runtime.emulation();
    // A full batch measures a GPU's rate; on the host it would only take long.
    TransferBuffers buffers;
    if (allocateTransferBuffers(runtime, buffers, onGpu && emulated.empty() ? kBatchCapacity : 4096, true) != 0) {
        std::fprintf(out, "\nSelf-test: cannot allocate device memory\n");
        releaseTransferBuffers(runtime, buffers);
        return false;
    }
    const std::string where = !emulated.empty() ? "emulated GPU (" + emulated + ")" : onGpu ? "CUDA device" : "host device";
    std::fprintf(out, "\nSelf-test of the %d kernels on the %s\n", kKernelCount, where.c_str());

    std::mt19937_64 random(20261206);
    int failedKernels = 0;
    int totalCases = 0;
    for (int index = 0; index < kKernelCount; ++index) {
        int cases = 0;
        const std::string problem = checkKernel(runtime, buffers, index, random, cases);
        totalCases += cases;
        const double rate = problem.empty() ? measureRate(runtime, buffers, index, random) : 0.0;
        if (!problem.empty()) ++failedKernels;
        std::fprintf(out, "  %-24s %3d cases  %s  %14.0f candidates/s%s%s\n", kKernels[static_cast<size_t>(index)].name,
                     cases, problem.empty() ? "pass" : "FAIL", rate, problem.empty() ? "" : "  ", problem.c_str());
        std::fflush(out);
    }
    // The GPU sieve's code runs on either device, so it is checked on either.
    ThreadPool workers(hardwareThreads());
    const std::string sieveProblem = compareSieves(runtime, workers);
    std::fprintf(out, "  %-24s %3d cases  %s%s%s\n", "GPU sieve vs host sieve", 3, sieveProblem.empty() ? "pass" : "FAIL",
                 sieveProblem.empty() ? "" : "  ", sieveProblem.c_str());
    if (failedKernels == 0 && sieveProblem.empty())
        std::fprintf(out, "\nSelf-test passed: %d of %d kernels, %d cases, and the GPU sieve.\n", kKernelCount, kKernelCount,
                     totalCases);
    else if (failedKernels == 0)
        std::fprintf(out, "\nSelf-test FAILED: the GPU sieve does not agree with the host sieve.\n");
    else
        std::fprintf(out, "\nSelf-test FAILED: %d of %d kernels failed.\n", failedKernels, kKernelCount);
    const bool released = releaseTransferBuffers(runtime, buffers) == 0;
    return failedKernels == 0 && sieveProblem.empty() && released;
}

}  // namespace kalvenor
