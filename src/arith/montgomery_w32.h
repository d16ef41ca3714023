// P and the Montgomery form of 2 in 32-bit words, for one exponent window Q
// (n in 32Q..32Q+31) and word count W of P (Q+2 or Q+3): where the GPU
// kernels' test (montgomery_narrow.h) starts from and ends in. Fixing Q and
// W at compile time turns every loop over words into straight-line code on
// registers and lets the arithmetic skip the words of P known to be zero.
//
// P has a sparse shape: word 0 is 1, words 1..Q-1 are 0 and words Q..W-1 hold
// M = k*2^(n-32Q) (two or three words).
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

// 2R mod P for R = 2^(32W), given s = 32W - n - log2(k) in 1..32.
// P*2^s lies in [R, 2R), so 2R - P*2^s is below R and congruent to 2R; binary
// long division by P*2^t for t = s-1 .. 0 brings it below P without any
// division instruction.
template <uint32_t Q, uint32_t W>
KALVENOR_HD Words<W> doubledWordRadix(const Modulus<Q, W>& mod, uint32_t s) {
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

}  // namespace kalvenor
