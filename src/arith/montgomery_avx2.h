// The candidate test on AVX2, for host processors without AVX-512 IFMA:
// four multipliers at once, one per 64-bit lane, in limbs of 28 bits. It
// decides the same question as the other paths: is 2^(2^(n-1)) = 1 modulo
// P = k*2^n+1?
//
// AVX2 has no 64x64 product, but vpmuludq gives four exact 32x32->64 ones
// per instruction. A 28-bit limb squares to under 2^56, so a column of the
// squaring and its reduction products (at most 25 + 4 of them) sums in a
// 64-bit lane without a carry: one add per product, and a carry moves up
// only once per column. The 64-bit path spends two or three add-with-carry
// instructions on every product instead, in one serial chain of flags.
//
// P takes N = ceil((32W + 2)/28) limbs, so that 4P < R = 2^(28N) for every
// P the kernel serves: a residue below 2P squares to (x^2 + U*P)/R < 2P,
// and no squaring compares with P.
//
// With J = floor(n/28) >= 1 (n >= 32), P = 1 + T*2^(28J) for T =
// k*2^(n-28J) < 2^91, at most four limbs, and only those below bit 32W can
// be non-zero. P = 1 mod 2^28: the Montgomery factor is -1, a reduction step
// takes u = -c mod 2^28 and multiplies it by T's limbs only.
//
// Only functions marked with the target attribute use these instructions,
// so this header can sit in a translation unit that also runs on
// processors without them; the caller checks the processor first. (A whole
// file built with -mavx2 could leave AVX2 code in the inline functions it
// shares with the baseline files, and the linker keeps either copy.)
#pragma once

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define KALVENOR_HAS_AVX2_PATH 1
#else
#define KALVENOR_HAS_AVX2_PATH 0
#endif

#if KALVENOR_HAS_AVX2_PATH

#include <immintrin.h>

#include <cstdint>

#include "arith/coverage.h"
#include "arith/montgomery_w64.h"
#include "arith/residue_checksum.h"

#define KALVENOR_AVX2_TARGET __attribute__((target("avx2")))
#define KALVENOR_AVX2_INLINE inline __attribute__((always_inline, target("avx2")))

namespace kalvenor::avx2 {

using Vec = __m256i;

inline constexpr uint32_t kLanes = 4;
inline constexpr uint32_t kLimbBits = 28;
inline constexpr uint64_t kLimbMask = (uint64_t{1} << kLimbBits) - 1;
inline constexpr uint32_t kTLimbs = 4;  // T < 2^(64+27)

// Limbs of 28 bits for P of W 32-bit words, with room for 4P.
constexpr uint32_t limbsFor(uint32_t w) { return (32 * w + 2 + kLimbBits - 1) / kLimbBits; }
// The limbs P itself may reach: T's limbs from here on are zero.
constexpr uint32_t modulusLimbs(uint32_t w) { return (32 * w + kLimbBits - 1) / kLimbBits; }

// No column may overflow its lane: the most products of one column (N of
// the squaring, four of the reduction), the carry of the one before (below
// 2^36) and the 2^28 - 1 added to round it up.
static_assert((limbsFor(kMaxWords) + kTLimbs) * (kLimbMask * kLimbMask) <
              ~uint64_t{0} - (~uint64_t{0} >> kLimbBits) - kLimbMask);

// T's limbs (limbs J to J+3 of P) for four lanes.
struct Modulus {
    Vec t[kTLimbs];
};

template <uint32_t N>
struct Number {
    Vec v[N];
};

KALVENOR_AVX2_INLINE Vec mul(Vec a, Vec b) { return _mm256_mul_epu32(a, b); }
KALVENOR_AVX2_INLINE Vec add(Vec a, Vec b) { return _mm256_add_epi64(a, b); }

using Lanes64 = unsigned long long __attribute__((vector_size(32)));
KALVENOR_AVX2_INLINE Vec limbCarry(Vec c) { return reinterpret_cast<Vec>(reinterpret_cast<Lanes64>(c) >> kLimbBits); }

// c += term, where the first term of a column is its sum.
KALVENOR_AVX2_INLINE void sumInto(Vec& c, bool& any, Vec term) {
    c = any ? add(c, term) : term;
    any = true;
}

// x^2/R (Square) or x/R modulo P, column by column: column k sums its part
// of x^2 (or just x_k) and the reduction products u_i*T_s with i + J + s =
// k, then takes the carry of column k - 1 last, which keeps the products off
// the chain from column to column. In the low half u_k = -c mod 2^28 clears
// the column's low bits, and the carry is c rounded up, (c + 2^28 - 1) >>
// 28, found beside u_k rather than after it; in the high half the low 28
// bits are a limb of the result. Squares stay below 2P; x/R comes out at
// most P. The top limb is left unmasked: its value is below 2^27.
template <uint32_t N, uint32_t W, uint32_t J, bool Square>
KALVENOR_AVX2_INLINE Number<N> montgomeryColumns(const Number<N>& x, const Modulus& mod) {
    constexpr uint32_t kModulusLimbs = modulusLimbs(W);
    static_assert(J >= 1 && J < kModulusLimbs && kModulusLimbs <= N, "T starts inside the number");
    const Vec zero = _mm256_setzero_si256();
    const Vec mask = _mm256_set1_epi64x(static_cast<long long>(kLimbMask));
    Vec u[N];
    Number<N> out;
    Vec carry = zero;
    KALVENOR_UNROLL
    for (uint32_t k = 0; k < 2 * N; ++k) {
        Vec c = zero;
        bool any = false;
        if constexpr (Square) {
            // The cross products x_i*x_j (i < j) once, doubled.
            KALVENOR_UNROLL
            for (uint32_t i = 0; i < N; ++i)
                if (i < k - i && k - i < N) sumInto(c, any, mul(x.v[i], x.v[k - i]));
            if (any) c = add(c, c);
            if (k % 2 == 0 && k / 2 < N) sumInto(c, any, mul(x.v[k / 2], x.v[k / 2]));
        } else {
            if (k < N) sumInto(c, any, x.v[k]);
        }
        KALVENOR_UNROLL
        for (uint32_t s = 0; s < kTLimbs; ++s) {
            const uint32_t j = J + s;
            if (j < kModulusLimbs && j <= k && k - j < N) sumInto(c, any, mul(u[k - j], mod.t[s]));
        }
        if (k > 0) sumInto(c, any, carry);
        if (k < N) {
            // P's low limb is 1: adding u = -c mod 2^28 clears the column.
            u[k] = _mm256_and_si256(_mm256_sub_epi64(zero, c), mask);
            carry = limbCarry(add(c, mask));
        } else if (k + 1 < 2 * N) {
            out.v[k - N] = _mm256_and_si256(c, mask);
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
    alignas(32) uint64_t limb[N][kLanes];
};

template <uint32_t N>
KALVENOR_AVX2_INLINE Number<N> load(const LaneNumbers<N>& in) {
    Number<N> x;
    KALVENOR_UNROLL
    for (uint32_t l = 0; l < N; ++l) x.v[l] = _mm256_load_si256(reinterpret_cast<const Vec*>(in.limb[l]));
    return x;
}

template <uint32_t N>
KALVENOR_AVX2_INLINE void store(const Number<N>& x, LaneNumbers<N>& out) {
    KALVENOR_UNROLL
    for (uint32_t l = 0; l < N; ++l) _mm256_store_si256(reinterpret_cast<Vec*>(out.limb[l]), x.v[l]);
}

// The squarings the start saves: it starts at 2^(2^4) = 2^16 in Montgomery
// form, 2^(16 + 28N) mod P. For most word counts (3, 5, 11 among them)
// that is one step of limbs::powerOfTwo (a division and a row of products)
// fewer than from 2^64: a step costs more than the two squarings it
// replaces, and at n = 36 the start is a large share of the whole test.
inline constexpr uint32_t kSkippedSquarings = 4;

// What the lanes start from: T's limbs and 2^(2^kSkippedSquarings) in
// Montgomery form, computed per lane on 64-bit limbs.
template <uint32_t Q, uint32_t W>
struct LaneStart {
    static constexpr uint32_t N = limbsFor(W);
    LaneNumbers<N> x;
    LaneNumbers<kTLimbs> t;
};

template <uint32_t Q, uint32_t W>
inline void startLane(LaneStart<Q, W>& start, uint32_t lane, uint64_t k, uint32_t n) {
    constexpr uint32_t N = LaneStart<Q, W>::N;
    constexpr uint32_t L64 = limbs::Shape<Q, W>::kLimbs;
    const limbs::u128 t = limbs::u128{k} << (n % kLimbBits);
    for (uint32_t s = 0; s < kTLimbs; ++s) start.t.limb[s][lane] = static_cast<uint64_t>(t >> (kLimbBits * s)) & kLimbMask;
    const limbs::Modulus64<Q, W> mod64 = limbs::formModulus<Q, W>(k, n);
    const limbs::Limbs<L64> x = limbs::powerOfTwo((1u << kSkippedSquarings) + kLimbBits * N, mod64);
    for (uint32_t l = 0; l < N; ++l) {
        const uint32_t bit = l * kLimbBits;
        const uint32_t word = bit / 64;
        const uint32_t shift = bit % 64;
        uint64_t value = word < L64 ? x.v[word] >> shift : 0;
        if (shift > 64 - kLimbBits && word + 1 < L64) value |= x.v[word + 1] << (64 - shift);
        start.x.limb[l][lane] = value & kLimbMask;
    }
}

// Lane `lane` of a value that is at most P, as W 32-bit words; a word
// spans two or three limbs.
template <uint32_t N>
inline void laneWords(const LaneNumbers<N>& x, uint32_t lane, uint32_t* words, uint32_t w) {
    for (uint32_t i = 0; i < w; ++i) {
        const uint32_t l = 32 * i / kLimbBits;
        const uint32_t shift = 32 * i % kLimbBits;
        limbs::u128 value = 0;
        for (uint32_t up = 0; up < 3 && l + up < N; ++up) value |= limbs::u128{x.limb[l + up][lane]} << (kLimbBits * up);
        words[i] = static_cast<uint32_t>(value >> shift);
    }
}

// Groups of four lanes run side by side: within one squaring each column
// waits for the carry of the one before, and where J is small a column also
// waits for the product of the u just found; independent groups fill those
// waits.
template <uint32_t Q, uint32_t W, uint32_t J, uint32_t Groups>
KALVENOR_AVX2_TARGET void squareGroups(const LaneStart<Q, W>* starts, uint32_t n,
                                       LaneNumbers<LaneStart<Q, W>::N>* results) {
    constexpr uint32_t N = LaneStart<Q, W>::N;
    Modulus mod[Groups];
    Number<N> x[Groups];
    KALVENOR_UNROLL
    for (uint32_t g = 0; g < Groups; ++g) {
        KALVENOR_UNROLL
        for (uint32_t s = 0; s < kTLimbs; ++s)
            mod[g].t[s] = _mm256_load_si256(reinterpret_cast<const Vec*>(starts[g].t.limb[s]));
        x[g] = load(starts[g].x);
    }
    // x stands for 2^(2^4); n - 1 squarings from 2 in all.
    KALVENOR_NO_UNROLL
    for (uint32_t i = 1 + kSkippedSquarings; i < n; ++i) {
        KALVENOR_UNROLL
        for (uint32_t g = 0; g < Groups; ++g) x[g] = montgomeryColumns<N, W, J, true>(x[g], mod[g]);
    }
    KALVENOR_UNROLL
    for (uint32_t g = 0; g < Groups; ++g) store(montgomeryColumns<N, W, J, false>(x[g], mod[g]), results[g]);
}

// Whether lane `lane` of x is at most that lane's P = 1 + T*2^(28j), for
// the verify build's checks.
template <uint32_t N>
inline bool laneAtMostModulus(const LaneNumbers<N>& x, uint32_t lane, const LaneNumbers<kTLimbs>& t, uint32_t j) {
    for (uint32_t l = N; l-- > 0;) {
        const uint64_t p = (l >= j && l < j + kTLimbs ? t.limb[l - j][lane] : 0) + (l == 0 ? 1 : 0);
        if (x.limb[l][lane] != p) return x.limb[l][lane] < p;
    }
    return true;
}

// Lane by lane a*c modulo 2^64 for a constant c, from vpmuludq's exact
// 32x32 -> 64 products: the low halves' product and the two cross products
// moved up by 32 bits (the high halves' product lies above 2^64).
KALVENOR_AVX2_INLINE Vec mulConstant(Vec a, uint64_t c) {
    const Vec cLow = _mm256_set1_epi64x(static_cast<long long>(c & 0xffffffffu));
    const Vec cHigh = _mm256_set1_epi64x(static_cast<long long>(c >> 32));
    const Vec aHigh = _mm256_shuffle_epi32(a, 0xB1);  // each lane's halves swapped: its high half low
    const Vec cross = _mm256_add_epi64(_mm256_mul_epu32(aHigh, cLow), _mm256_mul_epu32(a, cHigh));
    return _mm256_add_epi64(_mm256_mul_epu32(a, cLow), reinterpret_cast<Vec>(reinterpret_cast<Lanes64>(cross) << 32));
}

KALVENOR_AVX2_INLINE Vec shiftedXor(Vec z) { return _mm256_xor_si256(z, reinterpret_cast<Vec>(reinterpret_cast<Lanes64>(z) >> 33)); }

// Adds the checksum terms (arith/residue_checksum.h) of the first `count`
// lanes of a pass's results (Groups vectors of four lanes), each at most its
// P, whose multipliers are ks[0..count), to the lanes of `sums`: four terms
// at once, the low 64 bits of each residue joined from limbs 0 to 2. The
// lanes past `count` repeat lane 0 and add nothing.
template <uint32_t N, uint32_t Groups>
KALVENOR_AVX2_TARGET void laneChecksums(const LaneNumbers<N> (&results)[Groups], const uint64_t* ks, uint32_t count, uint32_t n,
                                        LaneNumbers<1>& sums) {
    static_assert(N >= 3, "64 bits span three limbs");
    const Vec exponent = _mm256_set1_epi64x(static_cast<long long>(uint64_t{n} * kChecksumExponentFactor));
    Vec* sum = reinterpret_cast<Vec*>(sums.limb[0]);
    Vec total = _mm256_load_si256(sum);
    KALVENOR_UNROLL
    for (uint32_t g = 0; g < Groups; ++g) {
        if (g * kLanes >= count) break;
        const Number<N> v = load(results[g]);
        alignas(32) uint64_t some[kLanes] = {};
        const bool whole = count >= (g + 1) * kLanes;
        if (!whole)
            for (uint32_t i = 0; g * kLanes + i < count; ++i) some[i] = ks[g * kLanes + i];
        const Vec k = whole ? _mm256_loadu_si256(reinterpret_cast<const Vec*>(ks + g * kLanes))
                            : _mm256_load_si256(reinterpret_cast<const Vec*>(some));
        const Lanes64 r = reinterpret_cast<Lanes64>(v.v[0]) | reinterpret_cast<Lanes64>(v.v[1]) << kLimbBits |
                          reinterpret_cast<Lanes64>(v.v[2]) << (2 * kLimbBits);
        Vec z = _mm256_xor_si256(_mm256_xor_si256(reinterpret_cast<Vec>(r), _mm256_shuffle_epi32(k, 0xB1)), exponent);
        z = shiftedXor(mulConstant(shiftedXor(mulConstant(shiftedXor(z), kFmixFirst)), kFmixSecond));
        // A lane of a short pass without a multiplier of its own holds k = 0 there.
        if (!whole) z = _mm256_andnot_si256(_mm256_cmpeq_epi64(k, _mm256_setzero_si256()), z);
        total = _mm256_add_epi64(total, z);
    }
    _mm256_store_si256(sum, total);
}

// Whether lane `lane` of a result (x/R mod P, at most P) is 1.
template <uint32_t N>
inline bool laneIsOne(const LaneNumbers<N>& x, uint32_t lane) {
    uint64_t differs = x.limb[0][lane] ^ 1;
    for (uint32_t l = 1; l < N; ++l) differs |= x.limb[l][lane];
    return differs == 0;
}

}  // namespace kalvenor::avx2

#endif  // KALVENOR_HAS_AVX2_PATH
