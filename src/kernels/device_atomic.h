// The atomics the kernels need, as CUDA device code and as host C++: an add
// that returns the old value, and the checksum's 64-bit sum. On the GPU they
// are atomicAdd; on the host, whose threads stand in for the GPU's, relaxed
// atomic adds.
#pragma once

#include <atomic>
#include <cstdint>

#include "arith/carry_chain.h"
#include "kernels/kernel_args.h"

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

// Adds `term` to the launch's checksum, the 64-bit word at result +
// kChecksumWord (8-byte aligned: the buffer is). On the GPU the terms of a
// warp are summed first and its first thread adds them with one atomic, so
// every thread of the warp must call it (with 0 for a slot it did not test);
// on the host each call is one atomic add, which the host kernels make once
// per chunk of slots.
KALVENOR_HD void addToChecksum(uint32_t* result, uint64_t term) {
    uint64_t* sum = reinterpret_cast<uint64_t*>(result + kChecksumWord);
#if defined(__CUDA_ARCH__)
    for (uint32_t offset = 16; offset > 0; offset /= 2) term += __shfl_down_sync(0xffffffffu, term, offset);
    if ((threadIdx.x & 31u) == 0 && term != 0) atomicAdd(reinterpret_cast<unsigned long long*>(sum), term);
#elif defined(__cpp_lib_atomic_ref)
    std::atomic_ref<uint64_t>(*sum).fetch_add(term, std::memory_order_relaxed);
#else
    __atomic_fetch_add(sum, term, __ATOMIC_RELAXED);
#endif
}

}  // namespace kalvenor
