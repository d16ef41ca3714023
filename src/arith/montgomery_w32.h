// The candidate test of one multiplier: is 2^(2^(n-1)) = 1 modulo
// P = k*2^n+1? One template on the exponent window Q (n in 32Q..32Q+31) and
// the word count W of P (Q+2 or Q+3) serves the host kernels and the GPU
// kernels alike. Fixing Q and W at compile time turns every loop over words
// into straight-line code on registers and lets the arithmetic skip the words
// of P known to be zero.
//
// P has a sparse shape: word 0 is 1, words 1..Q-1 are 0 and words Q..W-1 hold
// M = k*2^(n-32Q) (two or three words). Residues are in Montgomery form with
// R = 2^(32W): x stands for x/R mod P. Because P = 1 mod 2^32, the Montgomery
// factor -1/P mod 2^32 is -1, so each reduction step multiplies only by the
// words of M and needs no multiplication to find its factor.
#pragma once

#include <cstdint>

#include "arith/carry_chain.h"
#include "arith/coverage.h"

namespace kalvenor {

template <uint32_t N>
struct Words {
    uint32_t w[N];
};

// The words of M, where P = 1 + M*2^(32Q).
template <uint32_t Q, uint32_t W>
struct Modulus {
    static_assert(hasKernel(Q, W), "only the kernels' pairs");
    static constexpr uint32_t kMWords = W - Q;
    uint32_t m[W - Q];
};

// M = k*2^r with r = n - 32Q.
template <uint32_t Q, uint32_t W>
KALVENOR_HD Modulus<Q, W> formModulus(uint64_t k, uint32_t r) {
    const uint32_t lo = static_cast<uint32_t>(k);
    const uint32_t hi = static_cast<uint32_t>(k >> 32);
    Modulus<Q, W> mod;
    mod.m[0] = lo << r;
    mod.m[1] = shiftLeftInto(lo, hi, r);
    if constexpr (W - Q == 3) mod.m[2] = shiftLeftInto(hi, 0, r);
    return mod;
}

// P*2^t in W words, t = 0..31; the caller guarantees it does not overflow.
template <uint32_t Q, uint32_t W>
KALVENOR_HD Words<W> shiftedModulus(const Modulus<Q, W>& mod, uint32_t t) {
    Words<W> d;
    d.w[0] = 1u << t;
    KALVENOR_UNROLL
    for (uint32_t i = 1; i < Q; ++i) d.w[i] = 0;
    // Word 0 of P is 1 and contributes nothing above itself for t <= 31.
    d.w[Q] = mod.m[0] << t;
    KALVENOR_UNROLL
    for (uint32_t j = 1; j < W - Q; ++j) d.w[Q + j] = shiftLeftInto(mod.m[j - 1], mod.m[j], t);
    return d;
}

// 2R mod P (the Montgomery form of 2), given s = 32W - n - log2(k) in 1..32.
// P*2^s lies in [R, 2R), so 2R - P*2^s is below R and congruent to 2R; binary
// long division by P*2^t for t = s-1 .. 0 brings it below P without any
// division instruction.
template <uint32_t Q, uint32_t W>
KALVENOR_HD Words<W> montgomeryTwo(const Modulus<Q, W>& mod, uint32_t s) {
    const Words<W> top = shiftedModulus(mod, s - 1);
    // x = -(P*2^s mod R) mod R, i.e. 0 minus top shifted one more bit.
    Words<W> x;
    {
        SubChain chain;
        x.w[0] = chain.sub(0, top.w[0] << 1);
        KALVENOR_UNROLL
        for (uint32_t i = 1; i < W; ++i)
            x.w[i] = chain.subBorrow(0, shiftLeftInto(top.w[i - 1], top.w[i], 1));
    }
    KALVENOR_NO_UNROLL
    for (int t = static_cast<int>(s) - 1; t >= 0; --t) {
        const Words<W> d = shiftedModulus(mod, static_cast<uint32_t>(t));
        Words<W> rest;
        SubChain chain;
        rest.w[0] = chain.sub(x.w[0], d.w[0]);
        KALVENOR_UNROLL
        for (uint32_t i = 1; i < W; ++i) rest.w[i] = chain.subBorrow(x.w[i], d.w[i]);
        const uint32_t keepX = chain.subLast(0, 0);  // all ones when x < d
        KALVENOR_UNROLL
        for (uint32_t i = 0; i < W; ++i) x.w[i] = (x.w[i] & keepX) | (rest.w[i] & ~keepX);
    }
    return x;
}

// lo + hi*R times 1/R modulo P, fully reduced, for lo + hi*R < P*R.
//
// Word by word from the bottom, u = -(word i) makes word i vanish when u*P is
// added at word i. Word 0 of P turns that into a carry (word i was non-zero);
// the words of M add u*M at words i+Q and up. Two things keep the chains
// short: the carry out of word i is held back and folded into word i+1 when
// step i+1 reads it, and the words of hi are not touched by the steps at all
// but added once at the end, so no carry ever has to run to the top.
// The result before the final subtraction is below 2P.
template <uint32_t Q, uint32_t W>
KALVENOR_HD Words<W> montgomeryReduce(const Words<W>& lo, const Words<W>& hi,
                                      const Modulus<Q, W>& mod) {
    constexpr uint32_t kM = W - Q;
    uint32_t a[2 * W + 1];
    KALVENOR_UNROLL
    for (uint32_t i = 0; i < W; ++i) a[i] = lo.w[i];

    uint32_t pending = 0;  // carry into word i left by word 0 of P in step i-1
    KALVENOR_UNROLL
    for (uint32_t i = 0; i < W; ++i) {
        const uint32_t c = a[i] + pending;
        // a[i] + pending as a 33-bit sum is non-zero exactly when a carry
        // leaves word i: 2^32 overflows, anything else is cleared by u.
        pending = (a[i] | pending) != 0 ? 1u : 0u;
        const uint32_t u = 0u - c;
        {
            AddChain chain;  // low words of u*M
            a[i + Q] = chain.mulAddLo(u, mod.m[0], a[i + Q]);
            KALVENOR_UNROLL
            for (uint32_t j = 1; j < kM; ++j) a[i + Q + j] = chain.mulAddLoCarry(u, mod.m[j], a[i + Q + j]);
            // Word i+W is fresh in step 0 and holds the previous step's top carry after it.
            a[i + W] = i == 0 ? chain.takeCarry() : chain.addLast(a[i + W], 0);
        }
        {
            AddChain chain;  // high words of u*M, one word up
            a[i + Q + 1] = chain.mulAddHi(u, mod.m[0], a[i + Q + 1]);
            KALVENOR_UNROLL
            for (uint32_t j = 1; j < kM; ++j)
                a[i + Q + 1 + j] = chain.mulAddHiCarry(u, mod.m[j], a[i + Q + 1 + j]);
            a[i + W + 1] = chain.takeCarry();
        }
    }

    Words<W> v;
    uint32_t top;
    {
        AddChain chain;
        chain.setCarry(pending);
        KALVENOR_UNROLL
        for (uint32_t i = 0; i < W; ++i) v.w[i] = chain.addCarry(a[W + i], hi.w[i]);
        top = chain.addLast(a[2 * W], 0);
    }

    Words<W> d;
    uint32_t keepV;  // all ones when V < P, zero when V >= P
    {
        SubChain chain;
        d.w[0] = chain.sub(v.w[0], 1);
        KALVENOR_UNROLL
        for (uint32_t i = 1; i < Q; ++i) d.w[i] = chain.subBorrow(v.w[i], 0);
        KALVENOR_UNROLL
        for (uint32_t j = 0; j < kM; ++j) d.w[Q + j] = chain.subBorrow(v.w[Q + j], mod.m[j]);
        keepV = chain.subLast(top, 0);
    }
    Words<W> out;
    KALVENOR_UNROLL
    for (uint32_t i = 0; i < W; ++i) out.w[i] = (v.w[i] & keepV) | (d.w[i] & ~keepV);
    return out;
}

// x^2 as 2W words, split into its low and high halves: every cross product
// once, doubled by a one-bit shift, then the squares on the diagonal.
template <uint32_t W>
KALVENOR_HD void square(const Words<W>& x, Words<W>& lo, Words<W>& hi) {
    static_assert(W >= 3, "the row structure below assumes at least three words");
    uint32_t t[2 * W];
    t[0] = 0;
    // Row 0 lands on words nobody has written yet.
    KALVENOR_UNROLL
    for (uint32_t j = 1; j < W; ++j) t[j] = x.w[0] * x.w[j];
    {
        AddChain chain;
        t[2] = chain.mulAddHi(x.w[0], x.w[1], t[2]);
        KALVENOR_UNROLL
        for (uint32_t j = 2; j + 1 < W; ++j) t[j + 1] = chain.mulAddHiCarry(x.w[0], x.w[j], t[j + 1]);
        t[W] = chain.mulAddHiLast(x.w[0], x.w[W - 1], 0);
    }
    // Row i adds x_i * x_(i+1..W-1) at words 2i+1 .. i+W; word i+W is fresh
    // and the rows so far sum to less than 2^(32(i+W+1)), so nothing leaves it.
    KALVENOR_UNROLL
    for (uint32_t i = 1; i + 1 < W; ++i) {
        {
            AddChain chain;
            t[2 * i + 1] = chain.mulAddLo(x.w[i], x.w[i + 1], t[2 * i + 1]);
            KALVENOR_UNROLL
            for (uint32_t j = i + 2; j < W; ++j) t[i + j] = chain.mulAddLoCarry(x.w[i], x.w[j], t[i + j]);
            t[i + W] = chain.takeCarry();
        }
        if (i + 2 == W) {
            t[i + W] += mulHi(x.w[i], x.w[i + 1]);
        } else {
            AddChain chain;
            t[2 * i + 2] = chain.mulAddHi(x.w[i], x.w[i + 1], t[2 * i + 2]);
            KALVENOR_UNROLL
            for (uint32_t j = i + 2; j + 1 < W; ++j)
                t[i + j + 1] = chain.mulAddHiCarry(x.w[i], x.w[j], t[i + j + 1]);
            t[i + W] = chain.mulAddHiLast(x.w[i], x.w[W - 1], t[i + W]);
        }
    }
    // The cross products fill words 1 .. 2W-2; twice them still fits 2W words.
    t[2 * W - 1] = t[2 * W - 2] >> 31;
    KALVENOR_UNROLL
    for (uint32_t i = 2 * W - 2; i >= 2; --i) t[i] = shiftLeftInto(t[i - 1], t[i], 1);
    t[1] <<= 1;
    {
        AddChain chain;
        t[0] = x.w[0] * x.w[0];
        t[1] = chain.mulAddHi(x.w[0], x.w[0], t[1]);
        KALVENOR_UNROLL
        for (uint32_t i = 1; i + 1 < W; ++i) {
            t[2 * i] = chain.mulAddLoCarry(x.w[i], x.w[i], t[2 * i]);
            t[2 * i + 1] = chain.mulAddHiCarry(x.w[i], x.w[i], t[2 * i + 1]);
        }
        t[2 * W - 2] = chain.mulAddLoCarry(x.w[W - 1], x.w[W - 1], t[2 * W - 2]);
        t[2 * W - 1] = chain.mulAddHiLast(x.w[W - 1], x.w[W - 1], t[2 * W - 1]);
    }
    KALVENOR_UNROLL
    for (uint32_t i = 0; i < W; ++i) {
        lo.w[i] = t[i];
        hi.w[i] = t[W + i];
    }
}

// x^2/R mod P for x < P.
template <uint32_t Q, uint32_t W>
KALVENOR_HD Words<W> montgomerySquare(const Words<W>& x, const Modulus<Q, W>& mod) {
    Words<W> lo, hi;
    square(x, lo, hi);
    return montgomeryReduce(lo, hi, mod);
}

// Whether x (< P) stands for 1, i.e. x = R mod P. With u = -x_0 mod 2^32,
// x + u*P has a zero low word by construction, and it equals R exactly when
// x = R - floor(R/P)*P: u is then floor(R/P), which fits a word because P
// has W words.
template <uint32_t Q, uint32_t W>
KALVENOR_HD bool isMontgomeryOne(const Words<W>& x, const Modulus<Q, W>& mod) {
    constexpr uint32_t kM = W - Q;
    const uint32_t u = 0u - x.w[0];
    uint32_t t[W + 1];
    uint32_t overflow;
    {
        AddChain chain;  // x + u*1 at word 0 leaves only a carry
        chain.setCarry(x.w[0] != 0 ? 1u : 0u);
        KALVENOR_UNROLL
        for (uint32_t i = 1; i < Q; ++i) t[i] = chain.addCarry(x.w[i], 0);
        KALVENOR_UNROLL
        for (uint32_t j = 0; j < kM; ++j) t[Q + j] = chain.mulAddLoCarry(u, mod.m[j], x.w[Q + j]);
        t[W] = chain.takeCarry();
    }
    {
        AddChain chain;
        t[Q + 1] = chain.mulAddHi(u, mod.m[0], t[Q + 1]);
        KALVENOR_UNROLL
        for (uint32_t j = 1; j < kM; ++j) t[Q + 1 + j] = chain.mulAddHiCarry(u, mod.m[j], t[Q + 1 + j]);
        overflow = chain.takeCarry();
    }
    uint32_t differs = overflow | (t[W] ^ 1u);
    KALVENOR_UNROLL
    for (uint32_t i = 1; i < W; ++i) differs |= t[i];
    return differs == 0;
}

// Whether x < P, for the verify build's checks.
template <uint32_t Q, uint32_t W>
KALVENOR_HD bool belowModulus(const Words<W>& x, const Modulus<Q, W>& mod) {
    SubChain chain;
    chain.sub(x.w[0], 1);
    KALVENOR_UNROLL
    for (uint32_t i = 1; i < Q; ++i) chain.subBorrow(x.w[i], 0);
    KALVENOR_UNROLL
    for (uint32_t j = 0; j < W - Q; ++j) chain.subBorrow(x.w[Q + j], mod.m[j]);
    return chain.subLast(0, 0) != 0;
}

// The whole test of (k, n). When `residue` is not null and the test runs,
// 2^(2^(n-1)) mod P is written there as W words, least significant first;
// a multiplier the template does not serve writes nothing and is no factor.
template <uint32_t Q, uint32_t W>
KALVENOR_HD bool testCandidate(uint64_t k, uint32_t n, uint32_t* residue) {
    if (!servesCandidate<Q, W>(k, n)) return false;
    const Modulus<Q, W> mod = formModulus<Q, W>(k, n - 32 * Q);
    Words<W> x = montgomeryTwo(mod, 32 * W - n - topBitIndex(k));
    KALVENOR_VERIFY_THAT(belowModulus(x, mod));
    KALVENOR_NO_UNROLL
    for (uint32_t i = 1; i < n; ++i) {
        x = montgomerySquare(x, mod);
#if defined(KALVENOR_TWO_SQUARINGS_PER_STEP)
        // Only in scripts/kernel-sass.sh's measuring build, whose results are
        // wrong: the growth of the code is the size of one squaring.
        x = montgomerySquare(x, mod);
#endif
    }
    // Every squaring reduces fully, and isMontgomeryOne relies on it.
    KALVENOR_VERIFY_THAT(belowModulus(x, mod));
    if (residue != nullptr) {
        Words<W> zero;
        KALVENOR_UNROLL
        for (uint32_t i = 0; i < W; ++i) zero.w[i] = 0;
        const Words<W> plain = montgomeryReduce(x, zero, mod);
        KALVENOR_UNROLL
        for (uint32_t i = 0; i < W; ++i) residue[i] = plain.w[i];
    }
    return isMontgomeryOne(x, mod);
}

}  // namespace kalvenor
