// The candidate test on AVX-512 IFMA, for host processors that have it:
// eight multipliers at once, one per 64-bit lane, in limbs of 52 bits. It
// decides the same question as limb_test.h and candidate_test.h: is
// 2^(2^(n-1)) = 1 modulo P = k*2^n+1?
//
// vpmadd52luq / vpmadd52huq add the low or high 52 bits of a 52x52-bit
// product to a 64-bit lane, so a column of a product sums its parts with no
// carry handling at all: the 12 spare bits of a lane hold every column sum
// here, and a carry moves up only once per column. That, and eight products
// per instruction, is what makes this path faster than 64-bit limbs.
//
// P takes N = ceil((32W + 2)/52) limbs, so that 4P < R = 2^(52N) for every P
// the kernel serves (P < 2^(32W)): a residue below 2P squares to
// (x^2 + U*P)/R < 4P^2/R + P < 2P, and no squaring compares with P.
//
// With J = floor(n/52), P = 1 + T*2^(52J) where T = k*2^(n-52J) < 2^115 fills
// at most three limbs. For J >= 1 the low limb of P is 1 and the limbs
// between it and T are zero: the Montgomery factor -1/P mod 2^52 is -1, a
// reduction step takes u = -c mod 2^52 and multiplies it by T's limbs only.
// For J = 0 (n = 32..51) the factor is a - 1 for a = k*2^n mod 2^52, since
// a^2 = 0 mod 2^52 makes 1 - a the inverse of 1 + a.
//
// Only functions marked with the target attribute use these instructions,
// so this header can sit in a translation unit that also runs on
// processors without them; the caller checks the processor first.
#pragma once

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define KALVENOR_HAS_IFMA_PATH 1
#else
#define KALVENOR_HAS_IFMA_PATH 0
#endif

#if KALVENOR_HAS_IFMA_PATH

#include <immintrin.h>

#include <cstdint>

#include "arith/montgomery_w64.h"
#include "arith/residue_checksum.h"

#define KALVENOR_IFMA_TARGET __attribute__((target("avx512f,avx512dq,avx512ifma")))
#define KALVENOR_IFMA_INLINE inline __attribute__((always_inline, target("avx512f,avx512dq,avx512ifma")))

namespace kalvenor::ifma {

using Vec = __m512i;

inline constexpr uint32_t kLanes = 8;
inline constexpr uint32_t kLimbBits = 52;
inline constexpr uint64_t kLimbMask = (uint64_t{1} << kLimbBits) - 1;

// Limbs of 52 bits for P of W 32-bit words, with room for 4P.
constexpr uint32_t limbsFor(uint32_t w) { return (32 * w + 2 + kLimbBits - 1) / kLimbBits; }

// P of eight lanes: T's limbs (the limbs J, J+1 and J+2 of P) and, for J = 0,
// the Montgomery factor.
struct Modulus {
    Vec t[3];
    Vec factor;
};

template <uint32_t N>
struct Number {
    Vec v[N];
};

KALVENOR_IFMA_INLINE Vec mulLow(Vec acc, Vec a, Vec b) { return _mm512_madd52lo_epu64(acc, a, b); }
KALVENOR_IFMA_INLINE Vec mulHigh(Vec acc, Vec a, Vec b) { return _mm512_madd52hi_epu64(acc, a, b); }

// Shifts through the compiler's vector types: GCC 12's shift intrinsics warn
// about an undefined operand of their own.
using Lanes64 = unsigned long long __attribute__((vector_size(64)));
KALVENOR_IFMA_INLINE Vec limbCarry(Vec c) { return reinterpret_cast<Vec>(reinterpret_cast<Lanes64>(c) >> kLimbBits); }
KALVENOR_IFMA_INLINE Vec twice(Vec c) { return _mm512_add_epi64(c, c); }

// x^2/R (Square) or x/R modulo P, column by column: column k sums its part
// of x^2 (or just x_k), the reduction products u_i*P_j with i + j = k (low
// halves) or k - 1 (high halves) and the carry of column k - 1; in the low
// half it then picks u_k to clear the column's low 52 bits, in the high half
// the column's low 52 bits are a limb of the result. Squares stay below 2P;
// x/R comes out at most P. The top limb is left unmasked: its value is below
// 2^51, so nothing is above it.
template <uint32_t N, uint32_t J, bool Square>
KALVENOR_IFMA_INLINE Number<N> montgomeryColumns(const Number<N>& x, const Modulus& mod) {
    static_assert(J + 1 <= N, "T starts inside the number");
    const Vec zero = _mm512_setzero_si512();
    const Vec mask = _mm512_set1_epi64(static_cast<long long>(kLimbMask));
    Vec u[N];
    Number<N> out;
    Vec carry = zero;
    KALVENOR_UNROLL
    for (uint32_t k = 0; k < 2 * N; ++k) {
        Vec c = carry;
        if constexpr (Square) {
            // The cross products x_i*x_j (i < j) once, doubled by a shift.
            Vec cross = zero;
            bool anyCross = false;
            KALVENOR_UNROLL
            for (uint32_t i = 0; i < N; ++i) {
                if (i + i < k && k - i < N) {  // x_i*x_(k-i), low half
                    cross = mulLow(cross, x.v[i], x.v[k - i]);
                    anyCross = true;
                }
                if (i + i + 1 < k && k - 1 - i < N) {  // x_i*x_(k-1-i), high half
                    cross = mulHigh(cross, x.v[i], x.v[k - 1 - i]);
                    anyCross = true;
                }
            }
            if (anyCross) c = _mm512_add_epi64(c, twice(cross));
            if (k % 2 == 0 && k / 2 < N) c = mulLow(c, x.v[k / 2], x.v[k / 2]);
            if (k % 2 == 1 && k / 2 < N) c = mulHigh(c, x.v[k / 2], x.v[k / 2]);
        } else {
            if (k < N) c = _mm512_add_epi64(c, x.v[k]);
        }
        // u_i times T's limb s, which is limb J + s of P.
        KALVENOR_UNROLL
        for (uint32_t i = 0; i < N; ++i) {
            KALVENOR_UNROLL
            for (uint32_t s = 0; s < 3; ++s) {
                const uint32_t j = J + s;
                if (j >= N) continue;
                if (i + j == k && i < k) c = mulLow(c, u[i], mod.t[s]);
                if (i + j + 1 == k) c = mulHigh(c, u[i], mod.t[s]);
            }
        }
        if (k < N) {
            if constexpr (J == 0) {
                u[k] = mulLow(zero, c, mod.factor);
                c = mulLow(c, u[k], mod.t[0]);
                carry = limbCarry(c);
            } else {
                // P's low limb is 1: adding u = -c mod 2^52 clears the column.
                u[k] = _mm512_and_si512(_mm512_sub_epi64(zero, c), mask);
                carry = limbCarry(_mm512_add_epi64(c, u[k]));
            }
        } else if (k + 1 < 2 * N) {
            out.v[k - N] = _mm512_and_si512(c, mask);
            carry = limbCarry(c);
        } else {
            out.v[N - 1] = c;
        }
    }
    return out;
}

// The lanes' own values, in and out of the vectors.
template <uint32_t N>
struct LaneNumbers {
    alignas(64) uint64_t limb[N][kLanes];
};

template <uint32_t N>
KALVENOR_IFMA_INLINE Number<N> load(const LaneNumbers<N>& in) {
    Number<N> x;
    KALVENOR_UNROLL
    for (uint32_t l = 0; l < N; ++l) x.v[l] = _mm512_load_si512(in.limb[l]);
    return x;
}

template <uint32_t N>
KALVENOR_IFMA_INLINE void store(const Number<N>& x, LaneNumbers<N>& out) {
    KALVENOR_UNROLL
    for (uint32_t l = 0; l < N; ++l) _mm512_store_si512(out.limb[l], x.v[l]);
}

// A value below 2^(64*L64) split into N limbs of 52 bits.
template <uint32_t N, uint32_t L64>
inline void splitLimbs(const uint64_t (&v)[L64], uint64_t* limbs, uint32_t stride) {
    for (uint32_t l = 0; l < N; ++l) {
        const uint32_t bit = l * kLimbBits;
        const uint32_t word = bit / 64;
        const uint32_t shift = bit % 64;
        uint64_t value = word < L64 ? v[word] >> shift : 0;
        if (shift > 64 - kLimbBits && word + 1 < L64) value |= v[word + 1] << (64 - shift);
        limbs[l * stride] = value & kLimbMask;
    }
}

// What the lanes start from: P's limbs and the same starting value as the
// 64-bit path, 2^64 = 2^(2^6), in Montgomery form: 2^(64 + 52N) mod P,
// computed per lane on 64-bit limbs.
template <uint32_t Q, uint32_t W>
struct LaneStart {
    static constexpr uint32_t N = limbsFor(W);
    LaneNumbers<N> x;
    LaneNumbers<3> t;
    alignas(64) uint64_t factor[kLanes];
};

template <uint32_t Q, uint32_t W>
inline void startLane(LaneStart<Q, W>& start, uint32_t lane, uint64_t k, uint32_t n) {
    constexpr uint32_t N = LaneStart<Q, W>::N;
    constexpr uint32_t L64 = limbs::Shape<Q, W>::kLimbs;
    const uint32_t j = n / kLimbBits;
    const limbs::u128 t = (limbs::u128{k} << (n - kLimbBits * j)) + (j == 0 ? 1 : 0);
    start.t.limb[0][lane] = static_cast<uint64_t>(t) & kLimbMask;
    start.t.limb[1][lane] = static_cast<uint64_t>(t >> kLimbBits) & kLimbMask;
    start.t.limb[2][lane] = static_cast<uint64_t>(t >> (2 * kLimbBits));
    // -1/P mod 2^52 = a - 1 for P = 1 + a mod 2^52 (see the top of this file).
    start.factor[lane] = (static_cast<uint64_t>(t) - 2) & kLimbMask;
    const limbs::Modulus64<Q, W> mod64 = limbs::formModulus<Q, W>(k, n);
    const limbs::Limbs<L64> x = limbs::powerOfTwo(64 * limbs::kStartLimbs + kLimbBits * N, mod64);
    splitLimbs<N, L64>(x.v, &start.x.limb[0][lane], kLanes);
}

// Lane `lane` of a value that is at most P, as W 32-bit words.
template <uint32_t N>
inline void laneWords(const LaneNumbers<N>& x, uint32_t lane, uint32_t* words, uint32_t w) {
    for (uint32_t i = 0; i < w; ++i) {
        const uint32_t bit = 32 * i;
        const uint32_t l = bit / kLimbBits;
        const uint32_t shift = bit % kLimbBits;
        uint64_t value = x.limb[l][lane] >> shift;
        if (shift > kLimbBits - 32 && l + 1 < N) value |= x.limb[l + 1][lane] << (kLimbBits - shift);
        words[i] = static_cast<uint32_t>(value);
    }
}

// Groups of eight lanes run side by side: within one squaring each column
// waits for the carry of the one before, and independent groups fill those
// waits.
template <uint32_t Q, uint32_t W, uint32_t J, uint32_t Groups>
KALVENOR_IFMA_TARGET void squareGroups(const LaneStart<Q, W>* starts, uint32_t n,
                                       LaneNumbers<LaneStart<Q, W>::N>* results) {
    constexpr uint32_t N = LaneStart<Q, W>::N;
    Modulus mod[Groups];
    Number<N> x[Groups];
    KALVENOR_UNROLL
    for (uint32_t g = 0; g < Groups; ++g) {
        KALVENOR_UNROLL
        for (uint32_t s = 0; s < 3; ++s) mod[g].t[s] = _mm512_load_si512(starts[g].t.limb[s]);
        mod[g].factor = _mm512_load_si512(starts[g].factor);
        x[g] = load(starts[g].x);
    }
    // x stands for 2^(2^6); n - 1 squarings from 2 in all.
    KALVENOR_NO_UNROLL
    for (uint32_t i = 1 + limbs::kSkippedSquarings; i < n; ++i) {
        KALVENOR_UNROLL
        for (uint32_t g = 0; g < Groups; ++g) x[g] = montgomeryColumns<N, J, true>(x[g], mod[g]);
    }
    KALVENOR_UNROLL
    for (uint32_t g = 0; g < Groups; ++g) store(montgomeryColumns<N, J, false>(x[g], mod[g]), results[g]);
}

// Whether lane `lane` of x is at most that lane's P = 1 + T*2^(52j) (for
// j = 0, T holds the 1 already), for the verify build's checks.
template <uint32_t N>
inline bool laneAtMostModulus(const LaneNumbers<N>& x, uint32_t lane, const LaneNumbers<3>& t, uint32_t j) {
    for (uint32_t l = N; l-- > 0;) {
        const uint64_t p = l >= j && l < j + 3 ? t.limb[l - j][lane] : l == 0 ? 1 : 0;
        if (x.limb[l][lane] != p) return x.limb[l][lane] < p;
    }
    return true;
}

// Adds the checksum terms (arith/residue_checksum.h) of the first `count`
// lanes of a pass's results (Groups vectors of eight lanes), each at most
// its P, whose multipliers are ks[0..count), to the lanes of `sums`: eight
// terms at once, the low 64 bits of each residue joined from limbs 0 and 1.
// The lanes past `count` repeat lane 0 and add nothing.
template <uint32_t N, uint32_t Groups>
KALVENOR_IFMA_TARGET void laneChecksums(const LaneNumbers<N> (&results)[Groups], const uint64_t* ks, uint32_t count, uint32_t n,
                                        LaneNumbers<1>& sums) {
    static_assert(N >= 2, "64 bits span two limbs");
    Vec total = _mm512_load_si512(sums.limb[0]);
    KALVENOR_UNROLL
    for (uint32_t g = 0; g < Groups; ++g) {
        if (g * kLanes >= count) break;
        const uint32_t here = count - g * kLanes;
        const __mmask8 lanes = here >= kLanes ? __mmask8{0xff} : static_cast<__mmask8>((1u << here) - 1);
        const Number<N> v = load(results[g]);
        Lanes64 terms = reinterpret_cast<Lanes64>(v.v[0]) | reinterpret_cast<Lanes64>(v.v[1]) << kLimbBits;
        checksumTermInPlace(terms, reinterpret_cast<Lanes64>(_mm512_maskz_loadu_epi64(lanes, ks + g * kLanes)), n);
        total = _mm512_mask_add_epi64(total, lanes, total, reinterpret_cast<Vec>(terms));
    }
    _mm512_store_si512(sums.limb[0], total);
}

// Whether lane `lane` of a result (x/R mod P, at most P) is 1.
template <uint32_t N>
inline bool laneIsOne(const LaneNumbers<N>& x, uint32_t lane) {
    uint64_t differs = x.limb[0][lane] ^ 1;
    for (uint32_t l = 1; l < N; ++l) differs |= x.limb[l][lane];
    return differs == 0;
}

}  // namespace kalvenor::ifma

#endif  // KALVENOR_HAS_IFMA_PATH
