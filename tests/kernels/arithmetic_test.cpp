// Each path's arithmetic against GMP, for every (window, word count) pair,
// at the bounds the kernels rely on, which whole runs (checked in
// kernel_launch_test.cpp) rarely reach:
// - the candidate test on 32-bit words, which the GPU kernels run: the
//   Montgomery form of 2, the squaring, the reduction with its final
//   subtraction, and the test for one;
// - the host kernels on 64-bit limbs: the one-limb step that forms the
//   starting value, the squaring at the ends of the range a residue may take
//   between squarings, the final x/R, and the window-1 Montgomery factor;
// - the IFMA path in both limb positions of P's multiplier in the window: the
//   starting value, one squaring of residues up to 2P - 1, and the final x/R.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "kernels/candidate_test.h"
#include "kernels/gmp_support.h"
#include "kernels/ifma_kernels.h"
#include "kernels/ifma_test.h"
#include "kernels/kernel_table.h"
#include "kernels/limb_test.h"

namespace kalvenor {
namespace {

using testing::Mpz;

// ---- 32-bit words ----

template <uint32_t W>
Words<W> toWords(const Mpz& x) {
    Words<W> out;
    for (uint32_t i = 0; i < W; ++i) out.w[i] = static_cast<uint32_t>(x.limb(i, 32));
    return out;
}

template <uint32_t W>
Mpz value(const Words<W>& x) {
    return Mpz::fromLimbs(W, 32, [&](uint32_t i) { return x.w[i]; });
}

// Every result must be fully reduced, so each is held to below P.
template <uint32_t Q, uint32_t W>
void checkWords(uint64_t k, uint32_t n, std::mt19937_64& random) {
    ASSERT_TRUE((servesCandidate<Q, W>(k, n))) << "k=" << k << " n=" << n;
    SCOPED_TRACE(::testing::Message() << "k=" << k << " n=" << n);
    const testing::MontgomeryOracle m(k, n, 32 * W);
    const Mpz& p = m.p;
    const Modulus<Q, W> mod = formModulus<Q, W>(k, n - 32 * Q);

    m.expect(value(montgomeryTwo(mod, 32 * W - n - topBitIndex(k))), m.r << 1, p, "2R mod P");

    // Residues to square: the ends of the range, words that are zero or
    // full, and low words whose square has a zero low word.
    std::vector<Mpz> xs = {0, 1, p - 1, p - 2, m.r % p,
                           Mpz::fromLimbs(W, 32, [](uint32_t i) { return i % 2 ? 0xffffffffu : 0u; }) % p};
    for (uint32_t low : {0u, 0x10000u, 0x12340000u, 0xffff0000u})  // below P - 2^32
        xs.push_back((Mpz::randomBelow(p >> 32, random) << 32) + low);
    for (int i = 0; i < 4; ++i) xs.push_back(Mpz::randomBelow(p, random));
    for (const Mpz& x : xs)
        m.expect(value(montgomerySquare(toWords<W>(x), mod)), m.overR(x * x), p, "x^2/R, x=" + ::testing::PrintToString(x));

    // The reduction on its own, including both sides of the final subtraction:
    // lo + hi*R with hi = P-1 and lo = 0 (P-1, kept), hi = P (P, becomes 0),
    // and the largest input, whose sum overflows W words when P is wide.
    for (const auto& [hi, lo] : {std::pair<Mpz, Mpz>{p - 1, 0}, {p, 0}, {p - 1, m.r - 1}, {p - 2, m.r - 1}})
        m.expect(value(montgomeryReduce(toWords<W>(lo), toWords<W>(hi), mod)), m.overR(hi * m.r + lo), p,
                 "(" + ::testing::PrintToString(hi) + ")R + " + ::testing::PrintToString(lo));

    // The test for one: R mod P and nothing near it or like it (the
    // Montgomery forms of 0, 2 and 3, and plain 1 and P-1).
    EXPECT_TRUE(isMontgomeryOne(toWords<W>(m.r % p), mod));
    for (const Mpz& x : {(m.r + 1) % p, (m.r + p - 1) % p, Mpz(0), m.r * 2 % p, m.r * 3 % p, Mpz(1), p - 1})
        EXPECT_FALSE(isMontgomeryOne(toWords<W>(x), mod)) << ::testing::PrintToString(x);
}

// x^2 = 0 mod P for x = P/3 when 9 divides P: the reduction must land on 0
// whether it reaches it as 0 or as P.
template <uint32_t Q, uint32_t W>
void checkSquareToZero(uint64_t k, uint32_t n) {
    while (!mpz_divisible_ui_p(testing::candidate(k, n).get(), 9)) k += 2;
    if (!servesCandidate<Q, W>(k, n)) return;
    Mpz third;
    mpz_divexact_ui(third.get(), testing::candidate(k, n).get(), 3);
    EXPECT_EQ(value(montgomerySquare(toWords<W>(third), formModulus<Q, W>(k, n - 32 * Q))), Mpz(0))
        << "(P/3)^2 for k=" << k << " n=" << n;
}

// ---- 64-bit limbs ----

template <uint32_t Q, uint32_t W>
void checkLimbs(uint64_t k, uint32_t n, std::mt19937_64& random) {
    constexpr uint32_t L = limbs::Shape<Q, W>::kLimbs;
    ASSERT_TRUE((servesCandidate<Q, W>(k, n))) << "k=" << k << " n=" << n;
    SCOPED_TRACE(::testing::Message() << "k=" << k << " n=" << n);
    const testing::MontgomeryOracle m(k, n, 64 * L);
    const limbs::Modulus64<Q, W> mod = limbs::formModulus<Q, W>(k, n);
    const auto toLimbs = [](const Mpz& x) {
        limbs::Limbs<L> out;
        for (uint32_t l = 0; l < L; ++l) out.v[l] = x.limb(l, 64);
        return out;
    };
    const auto value = [](const limbs::Limbs<L>& x) { return Mpz::fromLimbs(L, 64, [&](uint32_t l) { return x.v[l]; }); };

    // The one-limb step r*2^64 mod P, fully reduced, the shorter steps the
    // IFMA path's start ends with, and the starting value.
    for (const Mpz& r : {Mpz(0), Mpz(1), m.p - 1, Mpz::randomBelow(m.p, random)}) {
        m.expect(value(limbs::timesLimbRadix(toLimbs(r), mod)), r << 64, m.p, "r*2^64 mod P");
        for (uint32_t b : {1u, 12u, 52u, 63u})
            m.expect(value(limbs::timesPowerOfTwo(toLimbs(r), mod, b)), r << b, m.p, "r*2^" + std::to_string(b));
    }
    m.expect(value(limbs::montgomeryStart(mod)), m.r << (64 * limbs::kStartLimbs), m.p, "2^(64m)*R mod P");

    // Squares of residues up to the largest a squaring may meet: below 2P
    // where W is odd, below R where it is even.
    const Mpz top = limbs::Shape<Q, W>::kLazy ? m.p << 1 : m.r;
    for (const Mpz& x : {Mpz(0), Mpz(1), m.p - 1, m.p, top - 1, Mpz(1) << (64 * (L - 1)), Mpz::randomBelow(top, random)}) {
        SCOPED_TRACE("x=" + ::testing::PrintToString(x));
        m.expect(value(limbs::montgomerySquare(toLimbs(x), mod)), m.overR(x * x), top, "x^2/R");
        m.expect(value(limbs::montgomeryColumns<Q, W, false>(toLimbs(x), mod)), m.overR(x), m.p, "x/R");
    }
}

// ---- AVX-512 IFMA ----

#if KALVENOR_HAS_IFMA_PATH
using ifma::kLanes;
using ifma::LaneNumbers;

template <uint32_t N, uint32_t J, bool Square>
KALVENOR_IFMA_TARGET void columnsOnLanes(const LaneNumbers<N>& in, const LaneNumbers<3>& t, const uint64_t* factor,
                                         LaneNumbers<N>& out) {
    ifma::Modulus mod;
    for (uint32_t s = 0; s < 3; ++s) mod.t[s] = _mm512_load_si512(t.limb[s]);
    mod.factor = _mm512_loadu_si512(factor);
    ifma::store(ifma::montgomeryColumns<N, J, Square>(ifma::load(in), mod), out);
}

template <uint32_t N>
Mpz laneValue(const LaneNumbers<N>& x, uint32_t lane) {
    return Mpz::fromLimbs(N, ifma::kLimbBits, [&](uint32_t l) { return x.limb[l][lane]; });
}

// Every limb is a proper 52-bit limb, so the next squaring reads all of it.
template <uint32_t N>
void expectLimbs(const LaneNumbers<N>& x, uint32_t lane) {
    for (uint32_t l = 0; l < N; ++l) EXPECT_LE(x.limb[l][lane], ifma::kLimbMask) << "limb " << l;
}

// One multiplier k at exponent n, with eight residues side by side; J is
// the limb of P's multiplier, n / 52.
template <uint32_t Q, uint32_t W, uint32_t J>
void checkIfma(uint64_t k, uint32_t n, std::mt19937_64& random) {
    constexpr uint32_t N = ifma::limbsFor(W);
    ASSERT_EQ(n / ifma::kLimbBits, J);
    ASSERT_TRUE((servesCandidate<Q, W>(k, n))) << "k=" << k << " n=" << n;
    SCOPED_TRACE(::testing::Message() << "k=" << k << " n=" << n);
    const testing::MontgomeryOracle m(k, n, ifma::kLimbBits * N);
    const Mpz twoP = m.p << 1;
    ASSERT_LE(twoP, m.r) << "residues must fit N limbs";

    ifma::LaneStart<Q, W> start;
    for (uint32_t lane = 0; lane < kLanes; ++lane) ifma::startLane(start, lane, k, n);
    // The start is the Montgomery form of 2^64, fully reduced.
    m.expect(laneValue(start.x, 0), m.r << 64, m.p, "2^64*R mod P");
    expectLimbs(start.x, 0);

    // Residues: 0, 1, P - 1, P, 2P - 1 and three at random below 2P.
    const std::vector<Mpz> xs = {0, 1, m.p - 1, m.p, twoP - 1, Mpz::randomBelow(twoP, random),
                                 Mpz::randomBelow(twoP, random), Mpz::randomBelow(twoP, random)};
    ASSERT_EQ(xs.size(), kLanes);
    LaneNumbers<N> in, squared, plain;
    for (uint32_t lane = 0; lane < kLanes; ++lane)
        for (uint32_t l = 0; l < N; ++l) in.limb[l][lane] = xs[lane].limb(l, ifma::kLimbBits);
    columnsOnLanes<N, J, true>(in, start.t, start.factor, squared);
    columnsOnLanes<N, J, false>(in, start.t, start.factor, plain);
    for (uint32_t lane = 0; lane < kLanes; ++lane) {
        SCOPED_TRACE("x=" + ::testing::PrintToString(xs[lane]));
        m.expect(laneValue(squared, lane), m.overR(xs[lane] * xs[lane]), twoP, "x^2/R below 2P");
        expectLimbs(squared, lane);
        m.expect(laneValue(plain, lane), m.overR(xs[lane]), m.p + 1, "x/R at most P");
        expectLimbs(plain, lane);
    }
}

#endif  // KALVENOR_HAS_IFMA_PATH

enum class Path { Words, Limbs, Ifma };

// One path's checks at the window's exponents, on the edges of the level at each.
template <uint32_t Q, uint32_t W>
void checkPair(Path path, std::mt19937_64& random) {
    for (uint32_t n : testing::windowExponents(Q, random)) {
        const std::vector<uint64_t> ks = testing::edgeMultipliers(W, n, random);
        for (uint64_t k : ks) {
            if (path == Path::Words) checkWords<Q, W>(k, n, random);
            if (path == Path::Limbs) checkLimbs<Q, W>(k, n, random);
#if KALVENOR_HAS_IFMA_PATH
            constexpr uint32_t kFirstJ = 32 * Q / ifma::kLimbBits;
            constexpr uint32_t kLastJ = (32 * Q + 31) / ifma::kLimbBits;
            if (path == Path::Ifma && n / ifma::kLimbBits == kFirstJ) checkIfma<Q, W, kFirstJ>(k, n, random);
            if (path == Path::Ifma && n / ifma::kLimbBits != kFirstJ) checkIfma<Q, W, kLastJ>(k, n, random);
#endif
        }
        if (path == Path::Words && !ks.empty()) checkSquareToZero<Q, W>(ks[3] | 1, n);  // 2^b + 1, the middle b
    }
}

constexpr auto kChecks =
    perKernel([]<uint32_t Q, uint32_t W>() -> void (*)(Path, std::mt19937_64&) { return &checkPair<Q, W>; });

class EveryPair : public ::testing::TestWithParam<int> {
protected:
    void check(Path path) {
        std::mt19937_64 random(100 * static_cast<uint64_t>(path) + static_cast<uint64_t>(GetParam()));
        kChecks[static_cast<std::size_t>(GetParam())](path, random);
    }
};

TEST_P(EveryPair, MontgomeryArithmeticMatchesGmp) {
    ASSERT_EQ(kKernels[GetParam()].q, kernelWindow(GetParam()));
    ASSERT_EQ(kKernels[GetParam()].w, kernelWords(GetParam()));
    check(Path::Words);
}

TEST_P(EveryPair, LimbArithmeticMatchesGmp) { check(Path::Limbs); }

TEST_P(EveryPair, IfmaArithmeticMatchesGmp) {
    if (!ifmaUsable()) GTEST_SKIP() << "this processor does not run AVX-512 IFMA";
    check(Path::Ifma);
}

INSTANTIATE_TEST_SUITE_P(Kernels, EveryPair, ::testing::Range(0, kKernelCount),
                         [](const ::testing::TestParamInfo<int>& info) { return kKernels[info.param].name; });

// Window 1 has no limb of zeros above the 1 in P, so its reduction takes the
// general factor -1/P mod 2^64 without computing an inverse: check it is one.
TEST(WindowOneFactor, IsMinusTheInverseOfTheLowLimb) {
    std::mt19937_64 random(77);
    for (uint32_t n = 32; n <= 63; ++n) {
        for (uint64_t k : {uint64_t{1} << (64 - n), ~uint64_t{0} >> (n - 32), random() >> n | 1}) {
            const limbs::Modulus64<1, 3> narrow = limbs::formModulus<1, 3>(k, n);
            EXPECT_EQ(narrow.p[0] * narrow.factor, ~uint64_t{0}) << "k=" << k << " n=" << n;
            const limbs::Modulus64<1, 4> wide = limbs::formModulus<1, 4>(k | uint64_t{1} << 63, n);
            EXPECT_EQ(wide.p[0] * wide.factor, ~uint64_t{0}) << "k=" << k << " n=" << n;
        }
    }
}

}  // namespace
}  // namespace kalvenor
