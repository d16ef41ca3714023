#include "driver/selftest.h"

#include <bit>
#include <chrono>
#include <cinttypes>
#include <random>
#include <string>
#include <vector>

#include "kernels/kernel_args.h"
#include "kernels/kernel_choice.h"
#include "kernels/kernel_table.h"
#include "kernels/reference_test.h"

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

// Device memory for one launch of the self-test, freed at the end.
class LaunchBuffers {
public:
    LaunchBuffers(Runtime& runtime, uint32_t slots) : runtime_(runtime) {
        failed_ |= runtime.allocateDevice(&candidates_, slots * sizeof(uint64_t)) != 0;
        failed_ |= runtime.allocateDevice(&result_, kResultWords * sizeof(uint32_t)) != 0;
        failed_ |= runtime.allocateDevice(&residues_, slots * kResidueStride * sizeof(uint32_t)) != 0;
    }
    ~LaunchBuffers() {
        if (candidates_) runtime_.freeDevice(candidates_);
        if (result_) runtime_.freeDevice(result_);
        if (residues_) runtime_.freeDevice(residues_);
    }
    bool failed() const { return failed_; }

    // Runs kernel `index` over `ks` at exponent n; fills result and residues.
    int run(int index, uint32_t n, const std::vector<uint64_t>& ks, bool withResidues,
            std::vector<uint32_t>& result, std::vector<uint32_t>& residues) {
        const uint32_t count = static_cast<uint32_t>(ks.size());
        result.assign(kResultWords, 0);
        int code = runtime_.copyToDevice(result_, result.data(), kResultWords * sizeof(uint32_t));
        if (code == 0) code = runtime_.copyToDevice(candidates_, ks.data(), count * sizeof(uint64_t));
        KernelArgs args{static_cast<uint32_t*>(result_), static_cast<const uint64_t*>(candidates_), n, count,
                        withResidues ? static_cast<uint32_t*>(residues_) : nullptr};
        if (code == 0) code = runtime_.launch(index, (count + 255) / 256, 256, args);
        if (code == 0) code = runtime_.synchronize();
        if (code == 0) code = runtime_.copyToHost(result.data(), result_, kResultWords * sizeof(uint32_t));
        if (code == 0 && withResidues) {
            residues.assign(size_t(count) * kResidueStride, 0);
            code = runtime_.copyToHost(residues.data(), residues_, residues.size() * sizeof(uint32_t));
        }
        return code;
    }

private:
    Runtime& runtime_;
    void* candidates_ = nullptr;
    void* result_ = nullptr;
    void* residues_ = nullptr;
    bool failed_ = false;
};

// A multiplier whose top bit is bit b, the rest random, made odd.
uint64_t multiplierWithTopBit(uint32_t b, std::mt19937_64& random) {
    const uint64_t top = uint64_t{1} << b;
    const uint64_t low = b == 0 ? 0 : random() & (top - 1);
    return top | low | 1;
}

// The exponents and multipliers to check a kernel with, grouped by n.
std::vector<std::pair<uint32_t, std::vector<Case>>> casesFor(const KernelSpec& kernelSpec, std::mt19937_64& random) {
    const uint32_t q = kernelSpec.q;
    const uint32_t w = kernelSpec.w;
    std::vector<std::pair<uint32_t, std::vector<Case>>> groups;
    const uint32_t exponents[] = {32 * q, 32 * q + 31, 32 * q + 1 + static_cast<uint32_t>(random() % 30)};
    for (uint32_t n : exponents) {
        // Bits of k that keep P at exactly w words.
        const int bLow = std::max<int>(0, static_cast<int>(32 * (w - 1)) - static_cast<int>(n));
        const int bHigh = std::min<int>(63, static_cast<int>(32 * w - 1) - static_cast<int>(n));
        if (bLow > bHigh) continue;
        std::vector<Case> cases;
        for (int i = 0; i < 4; ++i) {
            cases.push_back({multiplierWithTopBit(bLow, random), false});
            cases.push_back({multiplierWithTopBit(bHigh, random), false});
        }
        cases.push_back({(uint64_t{1} << bLow) | 1, false});
        cases.push_back({bHigh == 63 ? ~uint64_t{0} : (uint64_t{2} << bHigh) - 1, false});
        for (int i = 0; i < 4; ++i)
            cases.push_back({multiplierWithTopBit(bLow + static_cast<int>(random() % (bHigh - bLow + 1)), random), false});
        groups.emplace_back(n, std::move(cases));
    }
    for (const KnownFactor& f : kKnownFactors) {
        const int index = kernelIndexOf(f.n >> 5, wordCountOf(f.n, f.k));
        if (index >= 0 && kKernels[index].q == q && kKernels[index].w == w)
            groups.emplace_back(f.n, std::vector<Case>{{f.k, true}});
    }
    return groups;
}

bool recordsHold(const std::vector<uint32_t>& result, uint64_t k) {
    const uint32_t records = std::min(result[0], kResultRecords);
    for (uint32_t r = 0; r < records; ++r)
        if ((uint64_t{result[3 * r + 2]} << 32 | result[3 * r + 1]) == k) return true;
    return false;
}

// Candidates per second of kernel `index` on a batch of random multipliers.
double measureRate(LaunchBuffers& buffers, int index, const KernelSpec& kernelSpec, uint32_t batch,
                   std::mt19937_64& random) {
    const uint32_t n = 32 * kernelSpec.q + 16;
    const int bLow = std::max<int>(0, static_cast<int>(32 * (kernelSpec.w - 1)) - static_cast<int>(n));
    const int bHigh = std::min<int>(63, static_cast<int>(32 * kernelSpec.w - 1) - static_cast<int>(n));
    std::vector<uint64_t> ks(batch);
    for (uint64_t& k : ks) k = multiplierWithTopBit(bLow + static_cast<int>(random() % (bHigh - bLow + 1)), random);
    std::vector<uint32_t> result, residues;
    const auto start = std::chrono::steady_clock::now();
    if (buffers.run(index, n, ks, false, result, residues) != 0) return 0.0;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return seconds > 0 ? batch / seconds : 0.0;
}

}  // namespace

bool runSelftest(Runtime& runtime, std::FILE* out) {
    const bool onGpu = runtime.kind() == RuntimeKind::Cuda;
    const uint32_t rateBatch = onGpu ? kBatchCapacity : 4096;
    LaunchBuffers buffers(runtime, rateBatch);
    if (buffers.failed()) {
        std::fprintf(out, "\nSelf-test: cannot allocate device memory\n");
        return false;
    }
    std::fprintf(out, "\nSelf-test of the %d kernels on the %s\n", kKernelCount,
                 onGpu ? "CUDA device" : "host device");

    std::mt19937_64 random(20261206);
    int failedKernels = 0;
    int totalCases = 0;
    for (int index = 0; index < kKernelCount; ++index) {
        const KernelSpec& kernelSpec = kKernels[index];
        int cases = 0;
        std::string problem;
        for (const auto& [n, group] : casesFor(kernelSpec, random)) {
            std::vector<uint64_t> ks;
            for (const Case& c : group) ks.push_back(c.k);
            std::vector<uint32_t> result, residues;
            if (const int code = buffers.run(index, n, ks, true, result, residues); code != 0) {
                problem = "runtime error " + std::to_string(code) + ": " + runtime.errorText(code);
                break;
            }
            uint32_t expectedReports = 0;
            for (size_t i = 0; i < group.size(); ++i) {
                ++cases;
                const Case& c = group[i];
                const std::vector<uint32_t> expected = referenceResidue(c.k, n);
                const bool factor = referenceTest(c.k, n);
                expectedReports += factor;
                bool same = true;
                for (size_t word = 0; word < expected.size() && word < kResidueStride; ++word)
                    same &= residues[i * kResidueStride + word] == expected[word];
                char where[96];
                std::snprintf(where, sizeof where, "k=%" PRIu64 " n=%u", c.k, n);
                if (!same && problem.empty()) problem = std::string("wrong residue for ") + where;
                if ((c.mustReport || factor) && !recordsHold(result, c.k) && problem.empty())
                    problem = std::string("factor not reported: ") + where;
            }
            if (result[0] != expectedReports && problem.empty())
                problem = "reported " + std::to_string(result[0]) + " factors, expected " +
                          std::to_string(expectedReports) + " at n=" + std::to_string(n);
        }
        totalCases += cases;
        const double rate = problem.empty() ? measureRate(buffers, index, kernelSpec, rateBatch, random) : 0.0;
        if (!problem.empty()) ++failedKernels;
        std::fprintf(out, "  %-24s %3d cases  %s  %14.0f candidates/s%s%s\n", kernelSpec.name, cases,
                     problem.empty() ? "pass" : "FAIL", rate, problem.empty() ? "" : "  ", problem.c_str());
        std::fflush(out);
    }
    if (failedKernels == 0)
        std::fprintf(out, "\nSelf-test passed: %d of %d kernels, %d cases.\n", kKernelCount, kKernelCount, totalCases);
    else
        std::fprintf(out, "\nSelf-test FAILED: %d of %d kernels failed.\n", failedKernels, kKernelCount);
    return failedKernels == 0;
}

}  // namespace kalvenor
