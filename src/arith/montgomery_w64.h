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

#include "arith/carry_chain.h"
#include "arith/coverage.h"
#include "common/verify.h"

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
    static_assert(hasKernel(Q, W), "only the kernels' pairs");
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

// P in L limbs and the Montgomery factor (sparse shapes do not need it).
template <uint32_t Q, uint32_t W>
struct Modulus64 {
    static constexpr uint32_t L = Shape<Q, W>::kLimbs;
    uint64_t p[L];
    uint64_t factor;
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

// The sums below are written as x86-64 add-with-carry chains because that
// is what bounds the speed here: GCC does not find them on its own through
// unsigned __int128 in code this long, and keeping the carry of one step in
// the flags for the next saves whole instructions per column.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define KALVENOR_LIMB_ASM 1
#else
#define KALVENOR_LIMB_ASM 0
#endif

KALVENOR_LIMB_INLINE Column productOf(uint64_t a, uint64_t b) {
    const u128 pr = u128{a} * b;
    return {static_cast<uint64_t>(pr), static_cast<uint64_t>(pr >> 64), 0};
}

// column += a*b
KALVENOR_LIMB_INLINE void mulAdd(Column& c, uint64_t a, uint64_t b) {
    const u128 pr = u128{a} * b;
    const uint64_t lo = static_cast<uint64_t>(pr);
    const uint64_t hi = static_cast<uint64_t>(pr >> 64);
#if KALVENOR_LIMB_ASM
    // Early clobbers: GCC would otherwise give an input the register of an
    // output that holds the same value.
    __asm__("addq %3, %0\n\tadcq %4, %1\n\tadcq $0, %2"
            : "+&r"(c.c0), "+&r"(c.c1), "+&r"(c.c2)
            : "r"(lo), "r"(hi)
            : "cc");
#else
    u128 sum = u128{c.c0} + lo;
    c.c0 = static_cast<uint64_t>(sum);
    sum = u128{c.c1} + hi + static_cast<uint64_t>(sum >> 64);
    c.c1 = static_cast<uint64_t>(sum);
    c.c2 += static_cast<uint64_t>(sum >> 64);
#endif
}

// column *= 2
KALVENOR_LIMB_INLINE void doubleColumn(Column& c) {
#if KALVENOR_LIMB_ASM
    __asm__("addq %0, %0\n\tadcq %1, %1\n\tadcq %2, %2" : "+r"(c.c0), "+r"(c.c1), "+r"(c.c2) : : "cc");
#else
    c.c2 = (c.c2 << 1) | (c.c1 >> 63);
    c.c1 = (c.c1 << 1) | (c.c0 >> 63);
    c.c0 <<= 1;
#endif
}

#if !KALVENOR_LIMB_ASM
// The upper limbs of a column, one limb down, plus s and a carry into the
// lowest of them: the portable chain of the two moves below.
KALVENOR_LIMB_INLINE void addShifted(uint64_t& c1, uint64_t& c2, uint64_t& s2, uint64_t carry, const Column& s) {
    u128 sum = u128{c1} + s.c0 + carry;
    c1 = static_cast<uint64_t>(sum);
    sum = u128{c2} + s.c1 + static_cast<uint64_t>(sum >> 64);
    c2 = static_cast<uint64_t>(sum);
    s2 += static_cast<uint64_t>(sum >> 64);
}
#endif

// The column moved one limb down, with s added; returns the limb that left.
KALVENOR_LIMB_INLINE uint64_t shiftDownAdding(Column& c, const Column& s) {
    const uint64_t low = c.c0;
    uint64_t c1 = c.c1, c2 = c.c2, s2 = s.c2;
#if KALVENOR_LIMB_ASM
    __asm__("addq %3, %0\n\tadcq %4, %1\n\tadcq $0, %2"
            : "+&r"(c1), "+&r"(c2), "+&r"(s2)
            : "r"(s.c0), "r"(s.c1)
            : "cc");
#else
    addShifted(c1, c2, s2, 0, s);
#endif
    c = {c1, c2, s2};
    return low;
}

// For a sparse P, whose limb 0 is 1: adds u = -c0 (times that 1), which
// clears the low limb with a carry exactly when c0 is not zero, moves the
// column one limb down and adds s; returns u. The carry goes straight into
// the sum with s.
KALVENOR_LIMB_INLINE uint64_t clearAdding(Column& c, const Column& s) {
    uint64_t u = c.c0;
    uint64_t c1 = c.c1, c2 = c.c2, s2 = s.c2;
#if KALVENOR_LIMB_ASM
    // neg sets the carry exactly when its operand is not zero.
    __asm__("negq %0\n\tadcq %4, %1\n\tadcq %5, %2\n\tadcq $0, %3"
            : "+&r"(u), "+&r"(c1), "+&r"(c2), "+&r"(s2)
            : "r"(s.c0), "r"(s.c1)
            : "cc");
#else
    addShifted(c1, c2, s2, u != 0 ? 1 : 0, s);
    u = 0 - u;
#endif
    c = {c1, c2, s2};
    return u;
}

// Adds a*b to a column that may still be empty (fresh), where the product
// itself is the sum.
KALVENOR_LIMB_INLINE void mulAddInto(Column& c, bool& fresh, uint64_t a, uint64_t b) {
    if (fresh) {
        c = productOf(a, b);
        fresh = false;
    } else {
        mulAdd(c, a, b);
    }
}

// Column k of x^2: the cross products x_i*x_j (i < j, i + j = k) once,
// doubled, and the square on the diagonal. In lazy shapes x < 2P <
// 2^(64(L-1)+33), so twice the top limb (twiceTop) still fits a limb and
// the cross products with it are taken from it, needing no doubling.
template <uint32_t L, bool Lazy>
KALVENOR_LIMB_INLINE Column squareColumn(const Limbs<L>& x, uint64_t twiceTop, uint32_t k) {
    constexpr uint32_t last = Lazy ? L - 1 : L;  // limbs of the doubled crosses
    Column s;
    bool fresh = true;
    KALVENOR_UNROLL
    for (uint32_t i = 0; i < L; ++i) {
        const uint32_t j = k - i;
        if (i <= k && i < j && j < last) mulAddInto(s, fresh, x.v[i], x.v[j]);
    }
    if (!fresh) doubleColumn(s);
    if (Lazy && k >= L - 1 && k - (L - 1) < L - 1) mulAddInto(s, fresh, x.v[k - (L - 1)], twiceTop);
    if (k % 2 == 0 && k / 2 < L) mulAddInto(s, fresh, x.v[k / 2], x.v[k / 2]);
    return s;
}

// x^2/R (Square) or x/R modulo P, column by column: column k takes its part
// of x^2 (or just x_k) and the products u_i*P_j of the reduction with
// i + j = k; in the low half it then picks u_k to clear the column, in the
// high half the column is a limb of the result, which is (x^2 + U*P)/R for
// U = sum u_i*2^(64i). Squares stay below 2P or R as the shape allows (see
// the top of this file); x/R comes out below P.
template <uint32_t Q, uint32_t W, bool Square>
KALVENOR_LIMB_INLINE Limbs<Shape<Q, W>::kLimbs> montgomeryColumns(const Limbs<Shape<Q, W>::kLimbs>& x,
                                                                  const Modulus64<Q, W>& mod) {
    using S = Shape<Q, W>;
    constexpr uint32_t L = S::kLimbs;
    constexpr uint32_t from = S::kSparse ? S::kLowLimbs : 1;  // limbs of P multiplied in the columns
    [[maybe_unused]] const uint64_t twiceTop = S::kLazy ? x.v[L - 1] << 1 : 0;
    auto part = [&](uint32_t k) {
        if constexpr (Square) {
            return squareColumn<L, S::kLazy>(x, twiceTop, k);
        } else {
            return k < L ? Column{x.v[k], 0, 0} : Column{};
        }
    };
    uint64_t u[L];
    Limbs<L> v;
    Column c = part(0);
    KALVENOR_UNROLL
    for (uint32_t k = 0; k + 1 < 2 * L; ++k) {
        KALVENOR_UNROLL
        for (uint32_t j = from; j < L; ++j) {
            if (j <= k && k - j < L) mulAdd(c, u[k - j], mod.p[j]);
        }
        const Column next = k + 2 < 2 * L ? part(k + 1) : Column{};
        if (k < L) {
            if constexpr (S::kSparse) {
                u[k] = clearAdding(c, next);
            } else {
                u[k] = c.c0 * mod.factor;
                mulAdd(c, u[k], mod.p[0]);
                shiftDownAdding(c, next);
            }
        } else {
            v.v[k - L] = shiftDownAdding(c, next);
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

// P for a multiplier the kernel serves.
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
    return mod;
}

// n/d for n < d*2^64, so that the quotient fits a limb. One divide
// instruction on x86-64; the library's 128-bit division checks for cases
// that cannot happen here and costs several times as much.
KALVENOR_LIMB_INLINE uint64_t divideBelow(u128 n, uint64_t d) {
#if KALVENOR_LIMB_ASM
    uint64_t quotient;
    uint64_t remainder;
    __asm__("divq %4"
            : "=a"(quotient), "=d"(remainder)
            : "a"(static_cast<uint64_t>(n)), "d"(static_cast<uint64_t>(n >> 64)), "rm"(d)
            : "cc");
    return quotient;
#else
    return static_cast<uint64_t>(n / d);
#endif
}

// r*2^b mod P for r < P and b = 1..64, from one estimate of the quotient
// (below 2^64). With z leading zero bits in the top limb of P, T = the top
// 64 bits of P (T >= 2^63) and s = bits(P) - 64, P/2^s lies in [T, T+1);
// V = r*2^b < P*2^64 and Vt = floor(V/2^s) < (T+1)*2^64. V/P lies between
// Vt/(T+1) and (Vt+1)/T, which differ by (Vt+T+1)/(T(T+1)) < 3, so
// e = floor(Vt/(T+1)) is the quotient or up to three short, and at most
// three subtractions finish.
template <uint32_t Q, uint32_t W>
KALVENOR_LIMB_INLINE Limbs<Shape<Q, W>::kLimbs> timesPowerOfTwo(const Limbs<Shape<Q, W>::kLimbs>& r,
                                                                const Modulus64<Q, W>& mod, uint32_t b) {
    constexpr uint32_t L = Shape<Q, W>::kLimbs;
    uint64_t v[L + 1];
    if (b == 64) {
        v[0] = 0;
        KALVENOR_UNROLL
        for (uint32_t l = 0; l < L; ++l) v[l + 1] = r.v[l];
    } else {
        v[0] = r.v[0] << b;
        KALVENOR_UNROLL
        for (uint32_t l = 1; l < L; ++l) v[l] = (r.v[l] << b) | (r.v[l - 1] >> (64 - b));
        v[L] = r.v[L - 1] >> (64 - b);
    }
    const uint32_t z = static_cast<uint32_t>(__builtin_clzll(mod.p[L - 1]));
    const uint64_t pTop = z == 0 ? mod.p[L - 1] : (mod.p[L - 1] << z) | (mod.p[L - 2] >> (64 - z));
    const u128 vHigh = (u128{v[L]} << 64) | v[L - 1];
    // The bits shifted out at the top are zero, as Vt < 2^128.
    const u128 vTop = z == 0 ? vHigh : (vHigh << z) | (v[L - 2] >> (64 - z));
    const uint64_t estimate = pTop == ~uint64_t{0} ? static_cast<uint64_t>(vTop >> 64)
                                                   : divideBelow(vTop, pTop + 1);
    uint64_t d[L + 1];
    uint64_t carry = 0;
    uint8_t borrow = 0;
    KALVENOR_UNROLL
    for (uint32_t l = 0; l <= L; ++l) {
        const u128 pr = u128{estimate} * (l < L ? limbOf(mod, l) : 0) + carry;
        carry = static_cast<uint64_t>(pr >> 64);
        d[l] = subBorrow(v[l], static_cast<uint64_t>(pr), borrow);
    }
    for (int step = 0; step < 3; ++step) {
        uint64_t e[L + 1];
        uint8_t under = 0;
        KALVENOR_UNROLL
        for (uint32_t l = 0; l <= L; ++l) e[l] = subBorrow(d[l], l < L ? limbOf(mod, l) : 0, under);
        if (under) break;  // d < P already
        KALVENOR_UNROLL
        for (uint32_t l = 0; l <= L; ++l) d[l] = e[l];
    }
    Limbs<L> out;
    KALVENOR_UNROLL
    for (uint32_t l = 0; l < L; ++l) out.v[l] = d[l];
    return out;
}

// r*2^64 mod P for r < P.
template <uint32_t Q, uint32_t W>
KALVENOR_LIMB_INLINE Limbs<Shape<Q, W>::kLimbs> timesLimbRadix(const Limbs<Shape<Q, W>::kLimbs>& r,
                                                               const Modulus64<Q, W>& mod) {
    return timesPowerOfTwo(r, mod, 64);
}

// 2^e mod P for e >= 64(L-1), from 2^(64(L-1)), which is below P, in steps
// of at most one limb.
template <uint32_t Q, uint32_t W>
KALVENOR_LIMB_INLINE Limbs<Shape<Q, W>::kLimbs> powerOfTwo(uint32_t e, const Modulus64<Q, W>& mod) {
    constexpr uint32_t L = Shape<Q, W>::kLimbs;
    Limbs<L> x;
    KALVENOR_UNROLL
    for (uint32_t l = 0; l < L; ++l) x.v[l] = l + 1 == L ? 1 : 0;
    for (uint32_t left = e - 64 * (L - 1); left > 0;) {
        const uint32_t b = left < 64 ? left : 64;
        x = timesPowerOfTwo(x, mod, b);
        left -= b;
    }
    return x;
}

// The squarings montgomeryStart saves: it starts at 2^(2^6) = 2^64.
inline constexpr uint32_t kSkippedSquarings = 6;
inline constexpr uint32_t kStartLimbs = 1;

// The Montgomery form of 2^(64*kStartLimbs), 2^(64(L+kStartLimbs)) mod P.
// Each step of powerOfTwo costs a division and L products, less than the
// squarings from 2 it replaces.
template <uint32_t Q, uint32_t W>
KALVENOR_LIMB_INLINE Limbs<Shape<Q, W>::kLimbs> montgomeryStart(const Modulus64<Q, W>& mod) {
    constexpr uint32_t L = Shape<Q, W>::kLimbs;
    return powerOfTwo(64 * (L + kStartLimbs), mod);
}

// Whether x stands for 1; its low 64 bits of x/R mod P go to `low`, and
// all W words to `residue` when that is not null. x/R is below P + 1 for
// any x below R, and never P, as x is no multiple of P.
template <uint32_t Q, uint32_t W>
KALVENOR_LIMB_INLINE bool finish(const Limbs<Shape<Q, W>::kLimbs>& x, const Modulus64<Q, W>& mod, uint64_t& low,
                                 uint32_t* residue) {
    constexpr uint32_t L = Shape<Q, W>::kLimbs;
    const Limbs<L> plain = montgomeryColumns<Q, W, false>(x, mod);
    low = plain.v[0];
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

// Whether x < m*P for m = 1 or 2, for the verify build's checks.
template <uint32_t Q, uint32_t W>
inline bool belowMultiple(const Limbs<Shape<Q, W>::kLimbs>& x, const Modulus64<Q, W>& mod, uint32_t m) {
    uint8_t borrow = 0;
    uint64_t above = 0;  // the bit that doubling moves into the next limb
    for (uint32_t l = 0; l < Shape<Q, W>::kLimbs; ++l) {
        const uint64_t p = limbOf(mod, l);
        subBorrow(x.v[l], m == 1 ? p : (p << 1) | above, borrow);
        above = p >> 63;
    }
    // A doubled P that carries out of the limbs exceeds any x.
    return borrow != 0 || (m == 2 && above != 0);
}

// The test of Lanes multipliers at one exponent, all of which the kernel
// serves (servesCandidate). passed[i] tells whether ks[i] is a factor,
// low[i] holds the low 64 bits of its residue; residues[i], when not null,
// receives all W words of it.
template <uint32_t Q, uint32_t W, uint32_t Lanes>
KALVENOR_LIMB_INLINE void testLanes(const uint64_t* ks, uint32_t n, bool* passed, uint64_t* low,
                                    uint32_t* const* residues) {
    constexpr uint32_t L = Shape<Q, W>::kLimbs;
    Modulus64<Q, W> mod[Lanes];
    Limbs<L> x[Lanes];
    KALVENOR_UNROLL
    for (uint32_t g = 0; g < Lanes; ++g) {
        mod[g] = formModulus<Q, W>(ks[g], n);
        x[g] = montgomeryStart(mod[g]);
        KALVENOR_VERIFY_THAT(belowMultiple<Q, W>(x[g], mod[g], 1));
    }
    // x stands for 2^(2^6); n - 1 squarings from 2 in all.
    KALVENOR_NO_UNROLL
    for (uint32_t i = 1 + kSkippedSquarings; i < n; ++i) {
        KALVENOR_UNROLL
        for (uint32_t g = 0; g < Lanes; ++g) x[g] = montgomerySquare(x[g], mod[g]);
    }
    KALVENOR_UNROLL
    for (uint32_t g = 0; g < Lanes; ++g) {
        // Lazy shapes keep residues below 2P; the others below R by their type.
        KALVENOR_VERIFY_THAT(!Shape<Q, W>::kLazy || belowMultiple<Q, W>(x[g], mod[g], 2));
        passed[g] = finish(x[g], mod[g], low[g], residues[g]);
    }
}

}  // namespace kalvenor::limbs
