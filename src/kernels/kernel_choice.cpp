#include "kernels/kernel_choice.h"

#include "arith/coverage.h"

namespace kalvenor {

KernelChoice chooseKernel(uint32_t n, uint32_t wordCount) {
    if (n < kMinExponent) return {-1, "No kernel for n < 32\n"};
    if (n > kMaxExponent) return {-1, "No kernel for that Fermat number\n"};
    const int index = kernelIndexOf(windowOf(n), wordCount);
    if (index < 0) return {-1, "No kernel for that bit level\n"};
    return {index, nullptr};
}

}  // namespace kalvenor
