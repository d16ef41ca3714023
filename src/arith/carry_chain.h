// The word primitives of the 32-bit candidate test, for the GPU and the
// host alike. On the GPU the carries run through the PTX condition-code flag
// (add.cc / addc / mad.lo.cc ...), which is how the hardware chains
// multi-word sums without spending an instruction per carry; on the host the
// same calls keep the carry in a plain variable, so both builds execute
// exactly the same sequence of word operations and a host test of the
// arithmetic also checks the order in which the GPU performs it. A verify
// build also checks on the host that every chain keeps the rules the one
// carry flag of the GPU imposes.
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

// A chain starts with a call without "Carry" or "Borrow" in its name (or
// setCarry), which ignores any carry before it; the calls that take the
// carry need a started chain; a "Last" call or takeCarry ends it, and
// nothing may follow. The host checks that in a verify build.
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

KALVENOR_HD uint32_t mulHi(uint32_t a, uint32_t b) {
#if defined(__CUDA_ARCH__)
    return __umulhi(a, b);
#else
    return static_cast<uint32_t>((static_cast<uint64_t>(a) * b) >> 32);
#endif
}

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

// A chain of word additions passing one carry from each word to the next.
// The first call of a chain is one without "Carry" in its name (it ignores
// any carry before it); the calls of one chain must not be interleaved with
// another chain, because on the GPU there is only one carry flag. A chain
// ends with takeCarry() or a *Last call when the caller knows no carry can
// leave the top word.
class AddChain {
public:
    // a + b
    KALVENOR_HD uint32_t add(uint32_t a, uint32_t b) {
#if defined(__CUDA_ARCH__)
        uint32_t r;
        asm volatile("add.cc.u32 %0, %1, %2;" : "=r"(r) : "r"(a), "r"(b));
        return r;
#else
        starts();
        return keep(uint64_t{a} + b);
#endif
    }
    // a + b + carry
    KALVENOR_HD uint32_t addCarry(uint32_t a, uint32_t b) {
#if defined(__CUDA_ARCH__)
        uint32_t r;
        asm volatile("addc.cc.u32 %0, %1, %2;" : "=r"(r) : "r"(a), "r"(b));
        return r;
#else
        continues();
        return keep(uint64_t{a} + b + carry_);
#endif
    }
    // a + b + carry, where the caller knows the sum fits one word.
    KALVENOR_HD uint32_t addLast(uint32_t a, uint32_t b) {
#if defined(__CUDA_ARCH__)
        uint32_t r;
        asm volatile("addc.u32 %0, %1, %2;" : "=r"(r) : "r"(a), "r"(b));
        return r;
#else
        return last(uint64_t{a} + b + carry_);
#endif
    }
    // low word of a*b, plus c
    KALVENOR_HD uint32_t mulAddLo(uint32_t a, uint32_t b, uint32_t c) {
#if defined(__CUDA_ARCH__)
        uint32_t r;
        asm volatile("mad.lo.cc.u32 %0, %1, %2, %3;" : "=r"(r) : "r"(a), "r"(b), "r"(c));
        return r;
#else
        starts();
        return keep(uint64_t{a * b} + c);
#endif
    }
    // low word of a*b, plus c, plus carry
    KALVENOR_HD uint32_t mulAddLoCarry(uint32_t a, uint32_t b, uint32_t c) {
#if defined(__CUDA_ARCH__)
        uint32_t r;
        asm volatile("madc.lo.cc.u32 %0, %1, %2, %3;" : "=r"(r) : "r"(a), "r"(b), "r"(c));
        return r;
#else
        continues();
        return keep(uint64_t{a * b} + c + carry_);
#endif
    }
    // high word of a*b, plus c
    KALVENOR_HD uint32_t mulAddHi(uint32_t a, uint32_t b, uint32_t c) {
#if defined(__CUDA_ARCH__)
        uint32_t r;
        asm volatile("mad.hi.cc.u32 %0, %1, %2, %3;" : "=r"(r) : "r"(a), "r"(b), "r"(c));
        return r;
#else
        starts();
        return keep(uint64_t{mulHi(a, b)} + c);
#endif
    }
    // high word of a*b, plus c, plus carry
    KALVENOR_HD uint32_t mulAddHiCarry(uint32_t a, uint32_t b, uint32_t c) {
#if defined(__CUDA_ARCH__)
        uint32_t r;
        asm volatile("madc.hi.cc.u32 %0, %1, %2, %3;" : "=r"(r) : "r"(a), "r"(b), "r"(c));
        return r;
#else
        continues();
        return keep(uint64_t{mulHi(a, b)} + c + carry_);
#endif
    }
    // high word of a*b, plus c, plus carry, where the caller knows it fits.
    KALVENOR_HD uint32_t mulAddHiLast(uint32_t a, uint32_t b, uint32_t c) {
#if defined(__CUDA_ARCH__)
        uint32_t r;
        asm volatile("madc.hi.u32 %0, %1, %2, %3;" : "=r"(r) : "r"(a), "r"(b), "r"(c));
        return r;
#else
        return last(uint64_t{mulHi(a, b)} + c + carry_);
#endif
    }
    // Starts a chain whose first carry is `bit` (0 or 1).
    KALVENOR_HD void setCarry(uint32_t bit) {
#if defined(__CUDA_ARCH__)
        asm volatile("{\n\t.reg .u32 ignored;\n\tadd.cc.u32 ignored, %0, 0xffffffff;\n\t}" : : "r"(bit));
#else
        starts();
        carry_ = bit;
#endif
    }
    // The carry as a word (0 or 1); ends the chain.
    KALVENOR_HD uint32_t takeCarry() {
#if defined(__CUDA_ARCH__)
        uint32_t r;
        asm volatile("addc.u32 %0, 0, 0;" : "=r"(r));
        return r;
#else
        ends();
        return carry_;
#endif
    }

private:
#if !defined(__CUDA_ARCH__)
    uint32_t keep(uint64_t sum) {
        carry_ = static_cast<uint32_t>(sum >> 32);
        return static_cast<uint32_t>(sum);
    }
    // The caller's promise that nothing leaves the top word.
    uint32_t last(uint64_t sum) {
        KALVENOR_VERIFY_THAT(sum >> 32 == 0);
        ends();
        return static_cast<uint32_t>(sum);
    }
    uint32_t carry_ = 0;
    KALVENOR_CHAIN_DISCIPLINE
#endif
};

// A chain of word subtractions passing one borrow upwards; the same rules as
// AddChain.
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
