#include "driver/selftest.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

#include "kernels/kernel_table.h"
#include "support/test_support.h"

namespace kalvenor {
namespace {

// A device that runs one kernel wrong: after its launches the low bit of the
// first residue word is flipped, and nothing it finds is reported — as a
// miscompiled or faulty kernel would behave.
class BrokenKernelRuntime : public Runtime {
public:
    BrokenKernelRuntime(std::unique_ptr<Runtime> inner, int broken) : inner_(std::move(inner)), broken_(broken) {}

    RuntimeKind kind() const override { return inner_->kind(); }
    int runtimeVersion() const override { return inner_->runtimeVersion(); }
    int driverVersion() const override { return inner_->driverVersion(); }
    int selectDevice(int ordinal) override { return inner_->selectDevice(ordinal); }
    int deviceProperties(DeviceInfo& info) override { return inner_->deviceProperties(info); }
    void setBlockingSync() override { inner_->setBlockingSync(); }
    int allocateHost(void** p, std::size_t bytes) override { return inner_->allocateHost(p, bytes); }
    int allocateDevice(void** p, std::size_t bytes) override { return inner_->allocateDevice(p, bytes); }
    int freeHost(void* p) override { return inner_->freeHost(p); }
    int freeDevice(void* p) override { return inner_->freeDevice(p); }
    int copyToDevice(void* d, const void* h, std::size_t bytes) override { return inner_->copyToDevice(d, h, bytes); }
    int copyToDeviceAsync(void* d, const void* h, std::size_t n) override { return inner_->copyToDeviceAsync(d, h, n); }
    int copyToHost(void* h, const void* d, std::size_t bytes) override { return inner_->copyToHost(h, d, bytes); }
    int launch(int index, uint32_t blocks, uint32_t threads, const KernelArgs& args) override {
        const int code = inner_->launch(index, blocks, threads, args);
        if (code != 0 || index != broken_) return code;
        inner_->synchronize();
        // The host device's memory is ordinary memory, so it can be spoiled in place.
        if (args.residues && args.count > 0) args.residues[0] ^= 1;
        args.result[0] = 0;
        return 0;
    }
    int synchronize() override { return inner_->synchronize(); }
    std::string errorText(int code) const override { return inner_->errorText(code); }

private:
    std::unique_ptr<Runtime> inner_;
    int broken_;
};

std::string runToText(Runtime& runtime, bool& passed) {
    std::FILE* out = std::tmpfile();
    passed = runSelftest(runtime, out);
    std::rewind(out);
    std::string text;
    char buffer[4096];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, out)) > 0) text.append(buffer, got);
    std::fclose(out);
    return text;
}

TEST(Selftest, EveryKernelPassesOnTheHostDeviceAndABrokenOneIsNamed) {
    // The 128-bit kernel of window 2 serves a known factor, so both checks bite.
    for (const char* broken : {static_cast<const char*>(nullptr), "kalvenor128bit_n64_95"}) {
        SCOPED_TRACE(broken ? broken : "none broken");
        std::unique_ptr<Runtime> runtime = makeHostRuntime();
        if (broken) runtime = std::make_unique<BrokenKernelRuntime>(std::move(runtime), kernelIndexByName(broken));
        bool passed = broken != nullptr;
        const std::string text = runToText(*runtime, passed);
        EXPECT_EQ(passed, broken == nullptr) << text;
        for (const auto& kernel : kKernels) {
            const size_t line = text.find(std::string("  ") + kernel.name + " ");
            ASSERT_NE(line, std::string::npos) << kernel.name << "\n" << text;
            const bool fails = broken != nullptr && std::string(broken) == kernel.name;
            EXPECT_NE(text.substr(line, text.find('\n', line) - line).find(fails ? "FAIL" : " pass "),
                      std::string::npos) << kernel.name;
        }
        // Only the broken kernel's line and the summary say so.
        EXPECT_EQ(kalvenor::testing::countOf(text, "FAIL"), broken ? 2 : 0) << text;
        EXPECT_NE(text.find(broken ? "Self-test FAILED: 1 of 35 kernels failed." : "Self-test passed: 35 of 35 kernels"),
                  std::string::npos) << text;
    }
}

}  // namespace
}  // namespace kalvenor
