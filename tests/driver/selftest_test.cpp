#include "driver/selftest.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

#include "kernels/kernel_table.h"
#include "support/forwarding_runtime.h"
#include "support/test_support.h"

namespace kalvenor {
namespace {

// A device that runs one kernel wrong: after its launches the low bit of the
// first residue word is flipped, and nothing it finds is reported, as a
// miscompiled or faulty kernel would behave.
class BrokenKernelRuntime : public testing::ForwardingRuntime {
public:
    explicit BrokenKernelRuntime(int broken) : ForwardingRuntime(makeHostRuntime()), broken_(broken) {}
    int launch(int index, uint32_t blocks, uint32_t threads, const KernelArgs& args, int queue) override {
        const int code = ForwardingRuntime::launch(index, blocks, threads, args, queue);
        if (code != 0 || index != broken_) return code;
        synchronize();
        // The host device's memory is ordinary memory, so it can be spoiled in place.
        if (args.residues && args.count > 0) args.residues[0] ^= 1;
        args.result[0] = 0;
        return 0;
    }

private:
    int broken_;
};

// The 128-bit kernel of window 2 serves a known factor, so both checks bite;
// every other kernel passes on the host device.
TEST(Selftest, NamesTheBrokenKernelAndPassesTheOthers) {
    constexpr int kBroken = 2;
    ASSERT_STREQ(kKernels[kBroken].name, "kalvenor128bit_n64_95");
    BrokenKernelRuntime runtime(kBroken);
    std::FILE* out = std::tmpfile();
    EXPECT_FALSE(runSelftest(runtime, out));
    std::rewind(out);
    std::string text(1 << 16, '\0');
    text.resize(std::fread(text.data(), 1, text.size(), out));
    std::fclose(out);
    for (const KernelEntry& kernel : kKernels) {
        const size_t line = text.find(std::string("  ") + kernel.name + " ");
        ASSERT_NE(line, std::string::npos) << kernel.name << "\n" << text;
        const std::string verdict = &kernel == &kKernels[kBroken] ? "FAIL" : " pass ";
        EXPECT_NE(text.substr(line, text.find('\n', line) - line).find(verdict), std::string::npos) << kernel.name;
    }
    EXPECT_EQ(testing::countOf(text, "FAIL"), 2) << text;  // the kernel's line and the summary
    EXPECT_NE(text.find("Self-test FAILED: 1 of 36 kernels failed."), std::string::npos) << text;
}

}  // namespace
}  // namespace kalvenor
