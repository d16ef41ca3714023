// The candidate test as the GPU kernels run it, in limbs narrower than a
// word. Since Volta the GPU has no carry flag: each carry of a 32-bit
// multiply-add chain costs an instruction or two of its own. Limbs of B = 28
// to 30 bits leave a 64-bit column sum room for every product of its column,
// each product one IMAD.WIDE.U32 (32x32+64 bits), so carries are resolved
// once per column rather than once per product.
//
// The residue x has L limbs of B bits with R = 2^(BL) > 4P, which keeps it
// below 2P from one squaring to the next without a final subtraction; only
// the last step, x/R, yields the fully reduced value. P = 1 + k*2^n stays
// sparse in these limbs too: limb 0 is 1, the limbs up to bit 32Q are zero,
// and M fills the few limbs from 32Q/B to (32W-1)/B. So -1/P mod 2^B is -1,
// and each reduction step needs no product to find its factor and only
// those few products to apply it.
#pragma once

#include <cstdint>

#include "arith/montgomery_w32.h"

namespace kalvenor::narrow {

struct Layout {
    uint32_t bits;    // B
    uint32_t limbs;   // L
    uint32_t firstP;  // the first limb of P above limb 0 that may be non-zero
    uint32_t pLimbs;  // how many limbs from there on may be
};

constexpr Layout layoutOf(uint32_t q, uint32_t w, uint32_t bits) {
    const uint32_t limbs = (32 * w + 2 + bits - 1) / bits;  // 2^(BL) >= 4 * 2^(32w) > 4P
    return {bits, limbs, 32 * q / bits, (32 * w - 1) / bits - 32 * q / bits + 1};
}

// A column sums at most L products of the square (counted as ordered pairs),
// one per limb of M and the carry from below, each under 2^(2B).
constexpr bool columnsFit(const Layout& s) { return s.limbs + s.pLimbs + 1 <= (uint32_t{1} << (64 - 2 * s.bits)); }

// Instructions per squaring, roughly: one per product, about ten per limb
// for the carries, the factors and the doubled operands.
constexpr uint32_t costOf(const Layout& s) { return s.limbs * (s.limbs + 1) / 2 + s.limbs * s.pLimbs + 10 * s.limbs; }

// The widest limbs are not always the cheapest: where they save no limb they
// may still put M across one limb more.
constexpr Layout chooseLayout(uint32_t q, uint32_t w) {
    Layout best = layoutOf(q, w, 28);
    for (uint32_t bits = 29; bits <= 30; ++bits) {
        const Layout s = layoutOf(q, w, bits);
        if (columnsFit(s) && costOf(s) < costOf(best)) best = s;
    }
    return best;
}

template <uint32_t Q, uint32_t W>
struct Shape {
    static_assert(hasKernel(Q, W), "only the kernels' pairs");
    static constexpr Layout kLayout = chooseLayout(Q, W);
    static_assert(columnsFit(kLayout));
    static constexpr uint32_t B = kLayout.bits;
    static constexpr uint32_t L = kLayout.limbs;
    static constexpr uint32_t kFirstP = kLayout.firstP;
    static constexpr uint32_t kPLimbs = kLayout.pLimbs;
    static constexpr uint32_t kMask = (uint32_t{1} << B) - 1;
    static_assert(kFirstP >= 1 && kFirstP + kPLimbs <= L, "limb 0 of P is 1 alone, and P fits below R");
};

// x >> s, opaque to the compiler's analyses on the GPU: without it one
// expression runs through every column and squaring, and walking it
// overflows the stack of the compiler's optimiser.
KALVENOR_HD uint64_t shiftRight(uint64_t x, uint32_t s) {
#if defined(__CUDA_ARCH__)
    uint64_t r;
    asm("shr.b64 %0, %1, %2;" : "=l"(r) : "l"(x), "r"(s));
    return r;
#else
    return x >> s;
#endif
}

template <uint32_t L>
struct Limbs {
    uint32_t v[L];
};

// Limbs kFirstP .. kFirstP + kPLimbs - 1 of P.
template <uint32_t Q, uint32_t W>
struct Modulus {
    uint32_t p[Shape<Q, W>::kPLimbs];
};

// Bits pos .. pos+bits-1 of x (pos a constant once unrolled, bits <= 32).
template <uint32_t W>
KALVENOR_HD uint32_t bitsAt(const Words<W>& x, uint32_t pos, uint32_t bits) {
    const uint32_t i = pos / 32;
    const uint64_t both = (i + 1 < W ? uint64_t{x.w[i + 1]} << 32 : 0) | (i < W ? x.w[i] : 0);
    return static_cast<uint32_t>(both >> (pos % 32)) & static_cast<uint32_t>((uint64_t{1} << bits) - 1);
}

template <uint32_t Q, uint32_t W>
KALVENOR_HD Limbs<Shape<Q, W>::L> limbsOf(const Words<W>& x) {
    using S = Shape<Q, W>;
    Limbs<S::L> out;
    KALVENOR_UNROLL
    for (uint32_t l = 0; l < S::L; ++l) out.v[l] = bitsAt(x, S::B * l, S::B);
    return out;
}

// The low W words of x; the caller knows x fits them.
template <uint32_t Q, uint32_t W>
KALVENOR_HD Words<W> wordsOf(const Limbs<Shape<Q, W>::L>& x) {
    using S = Shape<Q, W>;
    Words<W> out;
    KALVENOR_UNROLL
    for (uint32_t i = 0; i < W; ++i) out.w[i] = 0;
    KALVENOR_UNROLL
    for (uint32_t l = 0; l < S::L; ++l) {
        const uint32_t i = S::B * l / 32, at = S::B * l % 32;
        if (i < W) out.w[i] |= x.v[l] << at;
        if (i + 1 < W && at + S::B > 32) out.w[i + 1] |= x.v[l] >> (32 - at);
    }
    return out;
}

template <uint32_t Q, uint32_t W>
KALVENOR_HD Modulus<Q, W> formModulus(const kalvenor::Modulus<Q, W>& words) {
    using S = Shape<Q, W>;
    const Words<W> p = shiftedModulus(words, 0);
    Modulus<Q, W> mod;
    KALVENOR_UNROLL
    for (uint32_t j = 0; j < S::kPLimbs; ++j) mod.p[j] = bitsAt(p, S::B * (S::kFirstP + j), S::B);
    return mod;
}

// 2R mod P, the Montgomery form of 2, given s as doubledWordRadix takes it:
// from its 2^(32W+1) mod P, doubling modulo P up to 2^(BL+1) costs a few
// dozen steps once per candidate.
template <uint32_t Q, uint32_t W>
KALVENOR_HD Limbs<Shape<Q, W>::L> montgomeryTwo(const kalvenor::Modulus<Q, W>& words, uint32_t s) {
    using S = Shape<Q, W>;
    Words<W> x = doubledWordRadix(words, s);
    const Words<W> p = shiftedModulus(words, 0);
    KALVENOR_NO_UNROLL
    for (uint32_t t = 32 * W; t < S::B * S::L; ++t) {
        Words<W> twice, rest;
        twice.w[0] = x.w[0] << 1;
        KALVENOR_UNROLL
        for (uint32_t i = 1; i < W; ++i) twice.w[i] = shiftLeftInto(x.w[i - 1], x.w[i], 1);
        SubChain chain;
        rest.w[0] = chain.sub(twice.w[0], p.w[0]);
        KALVENOR_UNROLL
        for (uint32_t i = 1; i < W; ++i) rest.w[i] = chain.subBorrow(twice.w[i], p.w[i]);
        // 2x < 2P: all ones when 2x fits W words and stays below P.
        const uint32_t keepTwice = chain.subLast(x.w[W - 1] >> 31, 0);
        KALVENOR_UNROLL
        for (uint32_t i = 0; i < W; ++i) x.w[i] = (twice.w[i] & keepTwice) | (rest.w[i] & ~keepTwice);
    }
    return limbsOf<Q, W>(x);
}

// x^2/R mod P (Square) or x/R mod P, for x < 2P in limbs of B bits, by
// columns from the bottom. Column k sums its products in one 64-bit
// accumulator that starts with the carry out of column k-1. In the low L
// columns u_k = -(column k) mod 2^B makes the column vanish when u_k*P is
// added at limb k: limb 0 of P leaves a carry, the limbs of M land on
// columns k+firstP and up, which read u_k when their turn comes. The high L
// columns are the result: below 2P for x^2/R (x^2 < 4P^2 < R*P), and for
// x/R at most P, which only a multiple of P reaches.
template <uint32_t Q, uint32_t W, bool Square>
KALVENOR_HD Limbs<Shape<Q, W>::L> montgomeryColumns(const Limbs<Shape<Q, W>::L>& x, const Modulus<Q, W>& mod) {
    using S = Shape<Q, W>;
    constexpr uint32_t L = S::L;
    // The square's cross products appear once, against the doubled operand.
    uint32_t twice[L];
    KALVENOR_UNROLL
    for (uint32_t i = 0; i < L; ++i) twice[i] = x.v[i] << 1;
    uint32_t u[L];
    Limbs<L> out;
    uint64_t column = 0;
    KALVENOR_UNROLL
    for (uint32_t k = 0; k < 2 * L; ++k) {
        if constexpr (Square) {
            KALVENOR_UNROLL
            for (uint32_t i = k < L ? 0 : k - L + 1; 2 * i < k; ++i) column += uint64_t{twice[i]} * x.v[k - i];
            if (k % 2 == 0) column += uint64_t{x.v[k / 2]} * x.v[k / 2];
        } else if (k < L) {
            column += x.v[k];
        }
        KALVENOR_UNROLL
        for (uint32_t j = 0; j < S::kPLimbs; ++j) {
            const uint32_t from = k - S::kFirstP - j;  // the step whose u meets limb j here
            if (k >= S::kFirstP + j && from < L) column += uint64_t{u[from]} * mod.p[j];
        }
        if (k < L) {
            u[k] = (0u - static_cast<uint32_t>(column)) & S::kMask;
            column = shiftRight(column + u[k], S::B);
        } else {
            out.v[k - L] = static_cast<uint32_t>(column) & S::kMask;
            column = shiftRight(column, S::B);
        }
    }
    return out;
}

// The whole test of (k, n): false when the kernel does not serve it,
// otherwise true with `plain` = 2^(2^(n-1)) mod P, fully reduced in W words.
template <uint32_t Q, uint32_t W>
KALVENOR_HD bool residueOf(uint64_t k, uint32_t n, Words<W>& plain) {
    if (!servesCandidate<Q, W>(k, n)) return false;
    const kalvenor::Modulus<Q, W> words = kalvenor::formModulus<Q, W>(k, n - 32 * Q);
    const Modulus<Q, W> mod = formModulus(words);
    auto x = montgomeryTwo(words, 32 * W - n - topBitIndex(k));
    KALVENOR_NO_UNROLL
    for (uint32_t i = 1; i < n; ++i) {
        x = montgomeryColumns<Q, W, true>(x, mod);
#if defined(KALVENOR_TWO_SQUARINGS_PER_STEP)
        // Only in scripts/kernel-sass.sh's measuring build, whose results are
        // wrong: the growth of the code is the size of one squaring.
        x = montgomeryColumns<Q, W, true>(x, mod);
#endif
    }
    // x is a power of two times R modulo P, never a multiple of P, so x/R
    // stays below P.
    plain = wordsOf<Q, W>(montgomeryColumns<Q, W, false>(x, mod));
    KALVENOR_VERIFY_THAT(belowModulus(plain, words));
    return true;
}

}  // namespace kalvenor::narrow
