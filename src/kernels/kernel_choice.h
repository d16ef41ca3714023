// Which of the 35 kernels serves an exponent and word count.
#pragma once

#include <cstdint>

namespace kalvenor {

// Words of P = k*2^n+1: ((floor(log2 k) + n) >> 5) + 1, with floor(log2 k) = 0 for k <= 1.
uint32_t wordCountOf(uint32_t n, uint64_t k);

struct KernelChoice {
    int index = -1;                 // into kKernels, -1 when none
    const char* message = nullptr;  // why none, as printed (ends in a newline)
};

KernelChoice chooseKernel(uint32_t n, uint32_t wordCount);

}  // namespace kalvenor
