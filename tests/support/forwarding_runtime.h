// A runtime that hands every operation to another one: the base of the test
// doubles that change only what they are about.
#pragma once

#include <memory>
#include <string>

#include "device/runtime.h"

namespace kalvenor::testing {

class ForwardingRuntime : public Runtime {
public:
    explicit ForwardingRuntime(std::unique_ptr<Runtime> inner) : inner_(std::move(inner)) {}

    RuntimeKind kind() const override { return inner_->kind(); }
    std::string emulation() const override { return inner_->emulation(); }
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
    int copyToHost(void* h, const void* d, std::size_t bytes) override { return inner_->copyToHost(h, d, bytes); }
    int copyToDeviceAsync(void* d, const void* h, std::size_t bytes, int queue) override {
        return inner_->copyToDeviceAsync(d, h, bytes, queue);
    }
    int copyToHostAsync(void* h, const void* d, std::size_t bytes, int queue) override {
        return inner_->copyToHostAsync(h, d, bytes, queue);
    }
    int launch(int index, uint32_t blocks, uint32_t threads, const KernelArgs& args, int queue) override {
        return inner_->launch(index, blocks, threads, args, queue);
    }
    int launchSieve(const GpuSieveArgs& args, int queue) override { return inner_->launchSieve(args, queue); }
    int waitQueue(int queue) override { return inner_->waitQueue(queue); }
    std::string waitCall(int queue) const override { return inner_->waitCall(queue); }
    int synchronize() override { return inner_->synchronize(); }
    std::string errorText(int code) const override { return inner_->errorText(code); }

private:
    std::unique_ptr<Runtime> inner_;
};

}  // namespace kalvenor::testing
