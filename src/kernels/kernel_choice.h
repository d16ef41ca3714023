// The kernel for an exponent and word count, or what the program says when
// there is none.
#pragma once

#include <cstdint>

namespace kalvenor {

struct KernelChoice {
    int index = -1;                 // into kKernels, -1 when none
    const char* message = nullptr;  // why none, as printed (ends in a newline)
};

KernelChoice chooseKernel(uint32_t n, uint32_t wordCount);

}  // namespace kalvenor
