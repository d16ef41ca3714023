#include "kernels/kernel_choice.h"

#include <bit>

#include "kernels/kernel_table.h"

namespace kalvenor {

uint32_t wordCountOf(uint32_t n, uint64_t k) {
    const uint32_t b = k <= 1 ? 0u : static_cast<uint32_t>(63 - std::countl_zero(k));
    return ((b + n) >> 5) + 1;
}

KernelChoice chooseKernel(uint32_t n, uint32_t wordCount) {
    if (n < 32) return {-1, "No kernel for n < 32\n"};
    if (n >= 608) return {-1, "No kernel for that Fermat number\n"};
    const int index = kernelIndexOf(n >> 5, wordCount);
    if (index < 0) return {-1, "No kernel for that bit level\n"};
    return {index, nullptr};
}

}  // namespace kalvenor
