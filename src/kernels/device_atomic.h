// The one atomic the kernels need, as CUDA device code and as host C++: an
// add that returns the old value. On the GPU it is atomicAdd; on the host,
// whose threads stand in for the GPU's, a relaxed atomic add.
#pragma once

#include <atomic>
#include <cstdint>

#include "arith/carry_chain.h"

namespace kalvenor {

KALVENOR_HD uint32_t addAtomically(uint32_t* word, uint32_t n) {
#if defined(__CUDA_ARCH__)
    return atomicAdd(word, n);
#elif defined(__cpp_lib_atomic_ref)
    return std::atomic_ref<uint32_t>(*word).fetch_add(n, std::memory_order_relaxed);
#else
    // The host half of a CUDA translation unit may be compiled as C++17.
    return __atomic_fetch_add(word, n, __ATOMIC_RELAXED);
#endif
}

}  // namespace kalvenor
