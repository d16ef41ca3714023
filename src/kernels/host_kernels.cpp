// The one place that picks the host kernels' variant for this processor.
#include "kernels/host_kernels.h"

#include <cstdlib>
#include <string>
#include <string_view>

namespace kalvenor {

namespace {

struct HostPath {
    const char* name;      // what KALVENOR_HOST_PATH says
    const char* shown;     // what the start-up block says
    bool (*usable)();
    HostKernelFn (*kernel)(int);
};

bool always() { return true; }

// Fastest first.
constexpr HostPath kPaths[] = {
    {"ifma52", "AVX-512 IFMA", &ifmaUsable, &ifmaKernel},
    {"avx2", "AVX2", &avx2Usable, &avx2Kernel},
    {"w64", "64-bit limbs", &always, &limbKernel},
};

struct Chosen {
    const HostPath* path;
    std::string shown;
};

// The fastest path the processor runs, unless KALVENOR_HOST_PATH names
// another it runs: a slower path is worth running only to measure it.
const Chosen& chosen() {
    static const Chosen once = [] {
        const HostPath* best = nullptr;
        for (const HostPath& path : kPaths)
            if (best == nullptr && path.usable()) best = &path;
        const char* asked = std::getenv("KALVENOR_HOST_PATH");
        if (asked == nullptr || *asked == '\0') return Chosen{best, best->shown};
        for (const HostPath& path : kPaths)
            if (std::string_view(asked) == path.name && path.usable())
                return Chosen{&path, std::string(path.shown) + " (KALVENOR_HOST_PATH)"};
        return Chosen{best, std::string(best->shown) + " (KALVENOR_HOST_PATH=" + asked +
                                " ignored: not a path this processor runs)"};
    }();
    return once;
}

}  // namespace

HostKernelFn hostKernel(int index) { return chosen().path->kernel(index); }

const char* hostKernelPath() { return chosen().shown.c_str(); }

}  // namespace kalvenor
