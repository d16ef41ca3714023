// The word primitives of the candidate test's start, for the GPU and the
// host alike. On the GPU the borrows of a multi-word subtraction run through
// the PTX condition-code flag (sub.cc / subc); on the host the same calls
// keep the borrow in a plain variable, so both builds execute exactly the
// same sequence of word operations and a host test of the arithmetic also
// checks the order in which the GPU performs it. A verify build also checks
// on the host that every chain keeps the rules the one carry flag of the GPU
// imposes.
#pragma once

#include <cstdint>

#include "common/verify.h"

#if defined(__CUDACC__)
#define KALVENOR_HD __host__ __device__ __forceinline__
#else
#define KALVENOR_HD inline
#endif

// Loops over words must unroll completely: only then is every array index a
// constant and the words stay in registers instead of local memory.
#if defined(__CUDA_ARCH__) || (defined(__clang__) && !defined(__CUDACC__))
#define KALVENOR_UNROLL _Pragma("unroll")
#define KALVENOR_NO_UNROLL _Pragma("unroll 1")
#elif defined(__GNUC__) && !defined(__CUDACC__)
#define KALVENOR_UNROLL _Pragma("GCC unroll 64")
#define KALVENOR_NO_UNROLL _Pragma("GCC unroll 1")
#else
// The host half of a CUDA translation unit never runs these loops.
#define KALVENOR_UNROLL
#define KALVENOR_NO_UNROLL
#endif

// A chain starts with a call without "Borrow" in its name, which ignores any
// borrow before it; the calls that take the borrow need a started chain; a
// "Last" call ends it, and nothing may follow. The host checks that in a verify build.
#if KALVENOR_VERIFYING
#define KALVENOR_CHAIN_DISCIPLINE                                              \
    enum class Stage : uint8_t { Fresh, Open, Closed } stage_ = Stage::Fresh; \
    void starts() {                                                            \
        KALVENOR_VERIFY_THAT(stage_ != Stage::Closed);                         \
        stage_ = Stage::Open;                                                  \
    }                                                                          \
    void continues() { KALVENOR_VERIFY_THAT(stage_ == Stage::Open); }          \
    void ends() {                                                              \
        continues();                                                           \
        stage_ = Stage::Closed;                                                \
    }
#else
#define KALVENOR_CHAIN_DISCIPLINE \
    void starts() {}              \
    void continues() {}           \
    void ends() {}
#endif

namespace kalvenor {

// Bits 32..63 of the 64-bit value (hi:lo) shifted left by `shift` (0..31).
KALVENOR_HD uint32_t shiftLeftInto(uint32_t lo, uint32_t hi, uint32_t shift) {
#if defined(__CUDA_ARCH__)
    return __funnelshift_l(lo, hi, shift);
#else
    const uint64_t both = (static_cast<uint64_t>(hi) << 32) | lo;
    return static_cast<uint32_t>((both << (shift & 31)) >> 32);
#endif
}

// Index of the most significant set bit; k must not be zero.
KALVENOR_HD uint32_t topBitIndex(uint64_t k) {
#if defined(__CUDA_ARCH__)
    return 63u - static_cast<uint32_t>(__clzll(static_cast<long long>(k)));
#else
    return 63u - static_cast<uint32_t>(__builtin_clzll(k));
#endif
}

// A chain of word subtractions passing one borrow from each word to the
// next. The calls of one chain must not be interleaved with another chain,
// because on the GPU there is only one carry flag.
class SubChain {
public:
    // a - b
    KALVENOR_HD uint32_t sub(uint32_t a, uint32_t b) {
#if defined(__CUDA_ARCH__)
        uint32_t r;
        asm volatile("sub.cc.u32 %0, %1, %2;" : "=r"(r) : "r"(a), "r"(b));
        return r;
#else
        starts();
        return keep(uint64_t{a} - b);
#endif
    }
    // a - b - borrow
    KALVENOR_HD uint32_t subBorrow(uint32_t a, uint32_t b) {
#if defined(__CUDA_ARCH__)
        uint32_t r;
        asm volatile("subc.cc.u32 %0, %1, %2;" : "=r"(r) : "r"(a), "r"(b));
        return r;
#else
        continues();
        return keep(uint64_t{a} - b - borrow_);
#endif
    }
    // a - b - borrow, the borrow out dropped; ends the chain.
    KALVENOR_HD uint32_t subLast(uint32_t a, uint32_t b) {
#if defined(__CUDA_ARCH__)
        uint32_t r;
        asm volatile("subc.u32 %0, %1, %2;" : "=r"(r) : "r"(a), "r"(b));
        return r;
#else
        ends();
        return static_cast<uint32_t>(uint64_t{a} - b - borrow_);
#endif
    }

private:
#if !defined(__CUDA_ARCH__)
    uint32_t keep(uint64_t difference) {
        borrow_ = static_cast<uint32_t>(difference >> 63);
        return static_cast<uint32_t>(difference);
    }
    uint32_t borrow_ = 0;
    KALVENOR_CHAIN_DISCIPLINE
#endif
};

}  // namespace kalvenor
