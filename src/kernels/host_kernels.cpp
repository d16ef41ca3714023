// The one place that picks the host kernels' variant for this processor.
#include "kernels/host_kernels.h"

namespace kalvenor {

HostKernelFn hostKernel(int index) {
    const HostKernelFn vector = ifmaKernel(index);
    return vector != nullptr ? vector : limbKernel(index);
}

const char* hostKernelPath() { return ifmaUsable() ? "AVX-512 IFMA" : "64-bit limbs"; }

}  // namespace kalvenor
