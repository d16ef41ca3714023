// The sieve run with the real host-emulated device and its kernels: known
// factors must come out exactly once, whatever cuts the batches.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "driver/launch_config.h"
#include "kernels/runtime.h"
#include "kernels/transfer_buffers.h"
#include "sieve/factor_report.h"
#include "sieve/sieve_runner.h"
#include "sieve/small_primes.h"
#include "support/test_support.h"

namespace kalvenor {
namespace {

using kalvenor::testing::countOf;
using kalvenor::testing::ScratchDir;

TEST(HostDeviceSieve, KnownFactorsAreReportedExactlyOnce) {
    struct KnownFactor {
        uint64_t k;
        uint32_t n;
        uint64_t first, last;  // a range around k of one word count
        uint32_t threads;
        int32_t sieveRange;
        uint32_t primeCount;
    };
    const KnownFactor cases[] = {
        {5, 127, 3, 4001, 256, 300, 100},             // factor of F125, first batch
        {5, 127, 3, 4001, 256, 1000000, 0},           // one big unsieved segment
        {76432329, 74, 76432329 - 3000, 76432329 + 3000, 512, 700, 1000},
        {76432329, 74, 76432329 - 3000, 76432329 + 3000, 256, 7, 11},  // many short segments
        {76432329, 74, 76432329, 76432329, 256, 100, 100},            // the range is the factor
    };
    std::unique_ptr<Runtime> runtime = makeHostRuntime();
    TransferBuffers buffers = allocateTransferBuffers(*runtime);
    for (const KnownFactor& c : cases) {
        SCOPED_TRACE("k " + std::to_string(c.k) + " n " + std::to_string(c.n) + " threads " +
                     std::to_string(c.threads) + " range " + std::to_string(c.sieveRange));
        ScratchDir dir;
        const LaunchPlan plan = planLaunch(DeviceInfo{}, RuntimeKind::Host, c.n, c.first);
        ASSERT_EQ(plan.refusal, nullptr);
        LaunchConfig config = plan.config;
        config.threadsPerGrid = c.threads;
        config.blocksPerGrid = c.threads / 256;
        config.sieveRange = c.sieveRange;
        const std::vector<uint32_t> primes = buildSmallPrimes(c.primeCount);
        RunState state;
        state.nCurrent = c.n;
        const SieveContext context{*runtime, buffers, config, primes};

        ::testing::internal::CaptureStdout();
        runSieve(c.first, c.last, state, context);
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), factorBanner(c.k, c.n));
        EXPECT_EQ(state.factors, 1);
        EXPECT_GT(state.kTested, 0u);
        EXPECT_EQ(countOf(kalvenor::testing::readFile(dir / "factors.txt"), factorMessage(c.k, c.n)), 1);
    }
    releaseTransferBuffers(*runtime, buffers);
}

}  // namespace
}  // namespace kalvenor
