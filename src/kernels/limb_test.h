// The candidate test for the host kernels, on 64-bit limbs. It decides the
// same question as the 32-bit template in candidate_test.h (which the GPU
// keeps using): is 2^(2^(n-1)) = 1 modulo P = k*2^n+1? A 64-bit core does a
// 64x64->128 product in about the time of a 32x32->64 one, so halving the
// word count quarters the products of a squaring.
//
// P takes L = ceil(W/2) limbs and the Montgomery radix is R = 2^(64L). For
// n >= 64 (window 2 and up) P = 1 + N*2^(64J) with J = floor(Q/2) and N =
// k*2^(n-64J) in one or two limbs, so P = 1 mod 2^64: the Montgomery factor
// -1/P mod 2^64 is -1 and each reduction step multiplies u by the limbs of N
// only. Window 1 (n = 32..63) has no such limb of zeros and takes the
// general step, whose factor -1/P mod 2^64 is simply P mod 2^64 minus 2:
// there P mod 2^64 = 1 + a with a = k*2^n mod 2^64, and a^2 = 0 mod 2^64
// makes 1 - a the inverse of 1 + a.
//
// No squaring compares with P. With W odd, P stays below R/2^32, so a
// residue may wander in [0, 2P): x < 2P gives (x^2 + U*P)/R < 4P^2/R + P <
// 2P. With W even P can come close to R; there a residue is only kept below
// R: x < R gives (x^2 + U*P)/R < R + P, and P is subtracted exactly when
// the sum carries out of L limbs. Only the final x/R mod P is reduced fully.
//
// Several multipliers run side by side (Lanes): one squaring is a chain of
// dependent multiply-adds, and independent chains fill the gaps that the
// latency of the multiplier leaves.
#pragma once

#include <cstdint>

#include "kernels/candidate_test.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#endif

#if defined(__GNUC__) || defined(__clang__)
#define KALVENOR_LIMB_INLINE inline __attribute__((always_inline))
#else
#define KALVENOR_LIMB_INLINE inline
#endif

namespace kalvenor::limbs {

using u128 = unsigned __int128;

template <uint32_t Q, uint32_t W>
struct Shape {
    static_assert(Q >= 1 && Q <= 18 && (W == Q + 2 || W == Q + 3), "the kernels' pairs only");
    static constexpr uint32_t kLimbs = (W + 1) / 2;          // L
    static constexpr uint32_t kLowLimbs = Q / 2;             // J: limb 0 is 1, limbs 1..J-1 are 0
    static constexpr uint32_t kTopLimbs = kLimbs - kLowLimbs;  // limbs of N (L for window 1)
    static constexpr bool kSparse = kLowLimbs >= 1;
    static constexpr bool kLazy = W % 2 == 1;
};

template <uint32_t L>
struct Limbs {
    uint64_t v[L];
};

// P in L limbs, the Montgomery factor (sparse shapes do not need it) and
// R mod P, which is how 1 looks in Montgomery form.
template <uint32_t Q, uint32_t W>
struct Modulus64 {
    static constexpr uint32_t L = Shape<Q, W>::kLimbs;
    uint64_t p[L];
    uint64_t factor;
    Limbs<L> one;
};

// Limb l of P where the sparse shape knows it without looking.
template <uint32_t Q, uint32_t W>
KALVENOR_LIMB_INLINE uint64_t limbOf(const Modulus64<Q, W>& mod, uint32_t l) {
    using S = Shape<Q, W>;
    if (S::kSparse && l < S::kLowLimbs) return l == 0 ? 1 : 0;
    return mod.p[l];
}

// a - b - borrow, with the borrow out.
KALVENOR_LIMB_INLINE uint64_t subBorrow(uint64_t a, uint64_t b, uint8_t& borrow) {
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
    unsigned long long out;
    borrow = _subborrow_u64(borrow, a, b, &out);
    return out;
#else
    const uint64_t d = a - b;
    const uint8_t first = a < b ? 1 : 0;
    const uint8_t second = d < borrow ? 1 : 0;
    const uint64_t out = d - borrow;
    borrow = first | second;
    return out;
#endif
}

// x - P over L limbs plus the carry limb `top`; x is replaced unless that
// goes below zero.
template <uint32_t Q, uint32_t W>
KALVENOR_LIMB_INLINE void subtractIfAtLeast(Limbs<Shape<Q, W>::kLimbs>& x, uint64_t top,
                                            const Modulus64<Q, W>& mod) {
    constexpr uint32_t L = Shape<Q, W>::kLimbs;
    uint64_t d[L];
    uint8_t borrow = 0;
    KALVENOR_UNROLL
    for (uint32_t l = 0; l < L; ++l) d[l] = subBorrow(x.v[l], limbOf(mod, l), borrow);
    // Keep x only when x < P: a borrow out of the limbs that no carry limb covers.
    const uint64_t keep = 0 - (uint64_t{borrow} & ~top & 1);
    KALVENOR_UNROLL
    for (uint32_t l = 0; l < L; ++l) x.v[l] = (x.v[l] & keep) | (d[l] & ~keep);
}

// x - P when the carry limb `top` (0 or 1) is set: what keeps a residue
// below R without comparing it with P.
template <uint32_t Q, uint32_t W>
KALVENOR_LIMB_INLINE void subtractIfCarry(Limbs<Shape<Q, W>::kLimbs>& x, uint64_t top,
                                          const Modulus64<Q, W>& mod) {
    constexpr uint32_t L = Shape<Q, W>::kLimbs;
    const uint64_t mask = 0 - top;
    uint8_t borrow = 0;
    KALVENOR_UNROLL
    for (uint32_t l = 0; l < L; ++l) x.v[l] = subBorrow(x.v[l], limbOf(mod, l) & mask, borrow);
}

// A column sum of the product-scanning squaring: three limbs, which no
// column can overflow.
struct Column {
    uint64_t c0 = 0, c1 = 0, c2 = 0;
};

// column += a*b. On x86-64 the sum is one add and two add-with-carry, which
// GCC does not find on its own through unsigned __int128 in code this long.
KALVENOR_LIMB_INLINE void mulAdd(Column& c, uint64_t a, uint64_t b) {
    const u128 pr = u128{a} * b;
    const uint64_t lo = static_cast<uint64_t>(pr);
    const uint64_t hi = static_cast<uint64_t>(pr >> 64);
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
    __asm__("addq %3, %0\n\tadcq %4, %1\n\tadcq $0, %2"
            : "+&r"(c.c0), "+&r"(c.c1), "+&r"(c.c2)
            : "r"(lo), "r"(hi)
            : "cc");
#else
    const u128 low = ((u128{c.c1} << 64) | c.c0) + pr;
    c.c2 += low < pr ? 1 : 0;
    c.c0 = static_cast<uint64_t>(low);
    c.c1 = static_cast<uint64_t>(low >> 64);
    (void)lo;
    (void)hi;
#endif
}

KALVENOR_LIMB_INLINE Column productOf(uint64_t a, uint64_t b) {
    const u128 pr = u128{a} * b;
    return {static_cast<uint64_t>(pr), static_cast<uint64_t>(pr >> 64), 0};
}

// column += 2*a*b
KALVENOR_LIMB_INLINE void mulAddTwice(Column& c, uint64_t a, uint64_t b) {
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
    const u128 pr = u128{a} * b;
    const uint64_t lo = static_cast<uint64_t>(pr);
    const uint64_t hi = static_cast<uint64_t>(pr >> 64);
    __asm__("addq %3, %0\n\tadcq %4, %1\n\tadcq $0, %2\n\t"
            "addq %3, %0\n\tadcq %4, %1\n\tadcq $0, %2"
            : "+&r"(c.c0), "+&r"(c.c1), "+&r"(c.c2)
            : "r"(lo), "r"(hi)
            : "cc");
#else
    mulAdd(c, a, b);
    mulAdd(c, a, b);
#endif
}

// Cross products x_i*x_j with i < j < L and i + j = k.
constexpr uint32_t crossCount(uint32_t k, uint32_t L) {
    uint32_t count = 0;
    for (uint32_t i = 0; i < L; ++i)
        if (i < k - i && k - i < L && i <= k) ++count;
    return count;
}

// column += 2*d
KALVENOR_LIMB_INLINE void addTwice(Column& c, Column d) {
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
    __asm__("addq %3, %3\n\tadcq %4, %4\n\tadcq %5, %5\n\t"
            "addq %3, %0\n\tadcq %4, %1\n\tadcq %5, %2"
            : "+r"(c.c0), "+r"(c.c1), "+r"(c.c2), "+r"(d.c0), "+r"(d.c1), "+r"(d.c2)
            :
            : "cc");
#else
    const uint64_t d2 = (d.c2 << 1) | (d.c1 >> 63);
    const uint64_t d1 = (d.c1 << 1) | (d.c0 >> 63);
    const uint64_t d0 = d.c0 << 1;
    u128 s = u128{c.c0} + d0;
    c.c0 = static_cast<uint64_t>(s);
    s = u128{c.c1} + d1 + static_cast<uint64_t>(s >> 64);
    c.c1 = static_cast<uint64_t>(s);
    c.c2 += d2 + static_cast<uint64_t>(s >> 64);
#endif
}

// Clears the low limb of the column by adding u = -c0 (times limb 0 of a
// sparse P, which is 1) and moves the column one limb down; returns u.
// c0 + u is 2^64 exactly when c0 is not zero.
KALVENOR_LIMB_INLINE uint64_t clearWithOne(Column& c) {
    uint64_t u = c.c0;
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
    // neg sets the carry exactly when its operand is not zero.
    __asm__("negq %0\n\tadcq $0, %1\n\tadcq $0, %2" : "+r"(u), "+r"(c.c1), "+r"(c.c2) : : "cc");
#else
    const uint64_t carry = u != 0 ? 1 : 0;
    u = 0 - u;
    c.c1 += carry;
    c.c2 += c.c1 < carry ? 1 : 0;
#endif
    c.c0 = c.c1;
    c.c1 = c.c2;
    c.c2 = 0;
    return u;
}

KALVENOR_LIMB_INLINE uint64_t shiftDown(Column& c) {
    const uint64_t low = c.c0;
    c.c0 = c.c1;
    c.c1 = c.c2;
    c.c2 = 0;
    return low;
}

// x^2/R (Square) or x/R modulo P, column by column: column k takes the
// cross products x_i*x_j (i < j, i + j = k) once and doubles them, the
// square on the diagonal (or just x_k), and the products u_i*P_j of the
// reduction with i + j = k; in the low half it then picks u_k to clear the
// column, in the high half the column is a limb of the result, which is
// (x^2 + U*P)/R for U = sum u_i*2^(64i). Squares stay below 2P or R as the
// shape allows (see the top of this file); x/R comes out below P.
template <uint32_t Q, uint32_t W, bool Square>
KALVENOR_LIMB_INLINE Limbs<Shape<Q, W>::kLimbs> montgomeryColumns(const Limbs<Shape<Q, W>::kLimbs>& x,
                                                                  const Modulus64<Q, W>& mod) {
    using S = Shape<Q, W>;
    constexpr uint32_t L = S::kLimbs;
    constexpr uint32_t from = S::kSparse ? S::kLowLimbs : 1;  // limbs of P multiplied in the columns
    uint64_t u[L];
    Limbs<L> v;
    Column c;
    KALVENOR_UNROLL
    for (uint32_t k = 0; k + 1 < 2 * L; ++k) {
        if constexpr (Square) {
            // Column k has crossCount(k) cross products; a lone one is added
            // twice, several are summed on their own and doubled once.
            const uint32_t crosses = crossCount(k, L);
            if (crosses == 1) {
                const uint32_t i = k < L ? 0 : k - (L - 1);
                mulAddTwice(c, x.v[i], x.v[k - i]);
            } else if (crosses > 1) {
                Column cross;
                bool fresh = true;
                KALVENOR_UNROLL
                for (uint32_t i = 0; i < L; ++i) {
                    const uint32_t j = k - i;
                    if (i < j && j < L) {
                        if (fresh) {
                            cross = productOf(x.v[i], x.v[j]);
                            fresh = false;
                        } else {
                            mulAdd(cross, x.v[i], x.v[j]);
                        }
                    }
                }
                addTwice(c, cross);
            }
            if (k % 2 == 0) mulAdd(c, x.v[k / 2], x.v[k / 2]);
        } else {
            if (k < L) mulAdd(c, x.v[k], 1);
        }
        KALVENOR_UNROLL
        for (uint32_t j = from; j < L; ++j) {
            if (j <= k && k - j < L) mulAdd(c, u[k - j], mod.p[j]);
        }
        if (k < L) {
            if constexpr (S::kSparse) {
                u[k] = clearWithOne(c);
            } else {
                u[k] = c.c0 * mod.factor;
                mulAdd(c, u[k], mod.p[0]);
                shiftDown(c);
            }
        } else {
            v.v[k - L] = shiftDown(c);
        }
    }
    v.v[L - 1] = c.c0;
    if constexpr (!Square) {
        subtractIfAtLeast(v, c.c1, mod);
    } else if constexpr (!S::kLazy) {
        subtractIfCarry(v, c.c1, mod);
    }
    return v;
}

template <uint32_t Q, uint32_t W>
KALVENOR_LIMB_INLINE Limbs<Shape<Q, W>::kLimbs> montgomerySquare(const Limbs<Shape<Q, W>::kLimbs>& x,
                                                                 const Modulus64<Q, W>& mod) {
    return montgomeryColumns<Q, W, true>(x, mod);
}

// P and R mod P for a multiplier the kernel serves.
//
// R mod P comes from one estimate of the quotient: with D the top two limbs
// of P (D >= 2^64 as the top limb is not zero) and X = P/2^(64(L-2)) in
// [D, D+1), e = floor((2^128-1)/(D+1)) is below R/P = 2^128/X, and the gap
// 2^128/D - (2^128-1)/(D+1) = (2^128+D)/(D(D+1)) is at most 1. So e is
// floor(R/P) or one short, and R - e*P needs at most one subtraction of P.
template <uint32_t Q, uint32_t W>
KALVENOR_LIMB_INLINE Modulus64<Q, W> formModulus(uint64_t k, uint32_t n) {
    using S = Shape<Q, W>;
    constexpr uint32_t L = S::kLimbs;
    Modulus64<Q, W> mod;
    KALVENOR_UNROLL
    for (uint32_t l = 0; l < L; ++l) mod.p[l] = 0;
    const uint32_t shift = n - 64 * S::kLowLimbs;  // 0..63
    const u128 top = u128{k} << shift;
    mod.p[S::kLowLimbs] = static_cast<uint64_t>(top);
    if constexpr (S::kLowLimbs + 1 < L) mod.p[S::kLowLimbs + 1] = static_cast<uint64_t>(top >> 64);
    // Window 1 adds the 1 into the low limb of k*2^n (its low 32 bits are zero).
    mod.p[0] += 1;
    mod.factor = mod.p[0] - 2;

    const u128 d = (u128{mod.p[L - 1]} << 64) | mod.p[L - 2];
    const u128 all = ~u128{0};
    const uint64_t estimate = d == all ? 1 : static_cast<uint64_t>(all / (d + 1));
    // R - estimate*P, which lies in [0, 2P) and below R, taken modulo R.
    uint64_t carry = 0;
    uint64_t borrow = 0;
    KALVENOR_UNROLL
    for (uint32_t l = 0; l < L; ++l) {
        const u128 pr = u128{estimate} * mod.p[l] + carry;
        carry = static_cast<uint64_t>(pr >> 64);
        const u128 diff = u128{0} - static_cast<uint64_t>(pr) - borrow;
        mod.one.v[l] = static_cast<uint64_t>(diff);
        borrow = static_cast<uint64_t>(diff >> 64) & 1;
    }
    subtractIfAtLeast(mod.one, 0, mod);
    return mod;
}

// 2R mod P from R mod P.
template <uint32_t Q, uint32_t W>
KALVENOR_LIMB_INLINE Limbs<Shape<Q, W>::kLimbs> montgomeryTwo(const Modulus64<Q, W>& mod) {
    constexpr uint32_t L = Shape<Q, W>::kLimbs;
    Limbs<L> x;
    uint64_t carry = 0;
    KALVENOR_UNROLL
    for (uint32_t l = 0; l < L; ++l) {
        x.v[l] = (mod.one.v[l] << 1) | carry;
        carry = mod.one.v[l] >> 63;
    }
    subtractIfAtLeast(x, carry, mod);
    return x;
}

// Whether x stands for 1; writes x/R mod P as W words when `residue` is not
// null. x/R is below P + 1 for any x below R, so one subtraction brings it
// below P.
template <uint32_t Q, uint32_t W>
KALVENOR_LIMB_INLINE bool finish(const Limbs<Shape<Q, W>::kLimbs>& x, const Modulus64<Q, W>& mod,
                                 uint32_t* residue) {
    constexpr uint32_t L = Shape<Q, W>::kLimbs;
    const Limbs<L> plain = montgomeryColumns<Q, W, false>(x, mod);
    if (residue != nullptr) {
        KALVENOR_UNROLL
        for (uint32_t i = 0; i < W; ++i)
            residue[i] = static_cast<uint32_t>(plain.v[i / 2] >> (32 * (i % 2)));
    }
    uint64_t differs = plain.v[0] ^ 1;
    KALVENOR_UNROLL
    for (uint32_t l = 1; l < L; ++l) differs |= plain.v[l];
    return differs == 0;
}

// The test of Lanes multipliers at one exponent, all of which the kernel
// serves (servesCandidate). passed[i] tells whether ks[i] is a factor;
// residues, when not null, receive W words per multiplier at `stride`.
template <uint32_t Q, uint32_t W, uint32_t Lanes>
KALVENOR_LIMB_INLINE void testLanes(const uint64_t* ks, uint32_t n, bool* passed,
                                    uint32_t* const* residues) {
    constexpr uint32_t L = Shape<Q, W>::kLimbs;
    Modulus64<Q, W> mod[Lanes];
    Limbs<L> x[Lanes];
    KALVENOR_UNROLL
    for (uint32_t g = 0; g < Lanes; ++g) {
        mod[g] = formModulus<Q, W>(ks[g], n);
        x[g] = montgomeryTwo(mod[g]);
    }
    KALVENOR_NO_UNROLL
    for (uint32_t i = 1; i < n; ++i) {
        KALVENOR_UNROLL
        for (uint32_t g = 0; g < Lanes; ++g) x[g] = montgomerySquare(x[g], mod[g]);
    }
    KALVENOR_UNROLL
    for (uint32_t g = 0; g < Lanes; ++g)
        passed[g] = finish(x[g], mod[g], residues != nullptr ? residues[g] : nullptr);
}

// One multiplier, guarded like the 32-bit test: a multiplier the kernel does
// not serve is no factor and writes no residue.
template <uint32_t Q, uint32_t W>
inline bool testCandidate64(uint64_t k, uint32_t n, uint32_t* residue) {
    if (!servesCandidate<Q, W>(k, n)) return false;
    bool passed = false;
    testLanes<Q, W, 1>(&k, n, &passed, residue != nullptr ? &residue : nullptr);
    return passed;
}

}  // namespace kalvenor::limbs
