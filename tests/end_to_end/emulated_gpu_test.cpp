// The binary on each GPU the host device emulates (KALVENOR_EMULATE_GPU):
// the launch plan, the batch and depth of the GPU sieve that GPU would get,
// and the GPU kernels' own code under CUDA's limits and ordering rules, so a
// launch a GPU would refuse, or a copy it would not yet have made, shows here.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/test_support.h"

namespace kalvenor::testing {
namespace {

struct Emulated {
    ProcessResult run;
    std::string records;  // results.jsonl
};

Emulated runOn(const std::string& profile, const std::string& lines, const std::string& args) {
    ScratchDir dir(false);
    writeFile(dir / "worktodo.txt", lines);
    Emulated e{runKalvenor(dir.path(), args, 900, {"KALVENOR_EMULATE_GPU=" + profile}), {}};
    e.records = readFile(dir / "results.jsonl");
    return e;
}

// The range of the acceptance run on the H100, and a tenth of it, which
// also holds the factor, on the others (and on the H100 too under the
// sanitizers, which slow the narrow-limb code on the host several times).
std::string f28Line(const std::string& profile) {
    return profile == "h100" && !kAddressSanitizer ? "FermatFactor=36,36,25000000001,26000000001\n"
                                                   : "FermatFactor=36,36,25700000001,25800000001\n";
}

class OnEmulatedGpu : public ::testing::TestWithParam<const char*> {};

// With the batch and depth that GPU would plan, the GPU sieve runs (no
// fallback to the host's) and the known factor of F28 is found.
TEST_P(OnEmulatedGpu, FindsTheFactorOfF28WithTheGpuSieveItWouldPlan) {
    const Emulated e = runOn(GetParam(), f28Line(GetParam()), "");
    ASSERT_EQ(e.run.exitCode, 6) << e.run.out << e.run.err;
    EXPECT_EQ(e.run.err, "");
    EXPECT_EQ(mismatches(e.run.out, {"  CUDA device in use        none: the host CPU emulates the GPU below",
                                     "  streaming multiprocessors ", "  sieve on                  GPU\n",
                                     {"!!! Found factor 25709319373*2^36+1 !!!", 1}, {"WARNING", 0}, {"ERROR", 0}}),
              "");
    EXPECT_NE(e.records.find("\"factors\":[{\"factor\":\"25709319373*2^36+1\",\"m\":28}],\"status\":\"complete\""),
              std::string::npos)
        << e.records;
}

// The GPU sieve and the host sieve at the same depth give the same records,
// byte for byte, at n = 36, 120, 300, 341 and 600: a GPU host and a CPU host
// validate against each other.
TEST_P(OnEmulatedGpu, BothSievesTestTheSameCandidates) {
    const std::string lines = f28Line(GetParam()) +
                              "FermatFactor=120,120,1527888800000001,1527888820000001\n"
                              "FermatFactor=300,300,1048577,5048577\n"
                              "FermatFactor=341,341,2049,102049\n"
                              "FermatFactor=600,600,257,650257\n";
    std::string records[2];
    const char* sieves[2] = {"gpu", "host"};
    for (int i = 0; i < 2; ++i) {
        const Emulated e = runOn(GetParam(), lines, std::string("--sieve-primes 200000 --sieve ") + sieves[i]);
        ASSERT_EQ(e.run.exitCode, 6) << e.run.out << e.run.err;
        EXPECT_EQ(countOf(e.run.out, std::string("sieve on                  ") + (i == 0 ? "GPU" : "host")), 5) << e.run.out;
        EXPECT_EQ(countOf(e.run.out, "WARNING"), 0) << e.run.out;
        records[i] = e.records;
    }
    EXPECT_EQ(countOf(records[0], "\"status\":\"complete\""), 5);
    for (const char* factor : {"25709319373*2^36+1", "1527888802614951*2^120+1", "27609*2^341+1"})
        EXPECT_EQ(countOf(records[0], factor), 1) << factor << "\n" << records[0];
    EXPECT_EQ(records[0], records[1]);
}

INSTANTIATE_TEST_SUITE_P(Profiles, OnEmulatedGpu, ::testing::Values("t4", "a100", "rtx4090", "h100", "b200"),
                         [](const auto& info) { return std::string(info.param); });

// A name that is no profile is refused before anything runs.
TEST(EmulatedGpu, AnUnknownProfileIsRefused) {
    expectRun({.name = "unknown profile", .worktodo = "FermatFactor=127,127,3,9\n", .environment = {"KALVENOR_EMULATE_GPU=h800"},
               .exitCode = 2, .out = {{"", kWhole}},
               .err = {{"kalvenor: KALVENOR_EMULATE_GPU=h800 is not a GPU the host device emulates (t4, a100, rtx4090, h100, b200)\n",
                        kWhole}}});
}

}  // namespace
}  // namespace kalvenor::testing
