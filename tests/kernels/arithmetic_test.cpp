// Each path's arithmetic against GMP at the bounds it relies on, which whole
// runs (kernel_test.cpp) rarely reach, for every kernel's (window, word
// count) at the edges of its level and window:
// - the narrow limbs the GPU runs: its starting value, and squares and x/R
//   of residues up to 2P - 1, all in proper limbs;
// - the 64-bit limbs: the steps r*2^b mod P that form the starting values,
//   and squares and x/R of residues up to the largest a squaring may meet;
// - AVX-512 IFMA (52-bit limbs) and AVX2 (28-bit limbs) in both limb
//   positions of P's multiplier: squares of residues up to 2P - 1 and the
//   final x/R, all in proper limbs;
// and the host reference, for any n up to 607 and any 64-bit k.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <random>
#include <tuple>
#include <string>
#include <utility>
#include <vector>

#include "arith/montgomery_avx2.h"
#include "arith/montgomery_ifma52.h"
#include "arith/montgomery_narrow.h"
#include "arith/montgomery_w64.h"
#include "arith/reference_powmod.h"
#include "kernels/edge_cases.h"
#include "kernels/gmp_oracle.h"
#include "kernels/host_kernels.h"
#include "kernels/kernel_table.h"

namespace kalvenor {
namespace {

using testing::Mpz;

template <uint32_t Limbs, uint32_t Bits, class Number>
Mpz valueOf(const Number& x) {
    return Mpz::fromLimbs(Limbs, Bits, [&](uint32_t i) { return x[i]; });
}
template <class Number, uint32_t Limbs, uint32_t Bits>
Number numberOf(const Mpz& x) {
    Number out;
    for (uint32_t i = 0; i < Limbs; ++i) out[i] = static_cast<std::remove_reference_t<decltype(out[0])>>(x.limb(i, Bits));
    return out;
}

template <uint32_t Q, uint32_t W>
void checkNarrow(uint64_t k, uint32_t n, std::mt19937_64& random) {
    using S = narrow::Shape<Q, W>;
    struct Number : narrow::Limbs<S::L> {
        uint32_t& operator[](uint32_t i) { return this->v[i]; }
        uint32_t operator[](uint32_t i) const { return this->v[i]; }
    };
    const auto value = [](const narrow::Limbs<S::L>& x) {
        for (uint32_t l = 0; l < S::L; ++l) EXPECT_LE(x.v[l], S::kMask) << "limb " << l;
        return valueOf<S::L, S::B>(static_cast<const Number&>(x));
    };
    const auto limbsOf = [](const Mpz& x) { return numberOf<Number, S::L, S::B>(x); };
    const testing::MontgomeryOracle m(k, n, S::B * S::L);
    const Mpz& p = m.p;
    const Modulus<Q, W> words = formModulus<Q, W>(k, n - 32 * Q);
    const narrow::Modulus<Q, W> mod = narrow::formModulus(words);
    m.expect(value(narrow::montgomeryTwo(words, 32 * W - n - topBitIndex(k))), m.r * 2, p, "2R");
    // Residues stay below 2P; x/R is at most P, and P only for a multiple of P.
    const Mpz twoP = p << 1;
    for (const Mpz& x : {Mpz(0), Mpz(1), p - 1, p, p + 1, twoP - 1, Mpz::randomBelow(twoP, random),
                         Mpz::fromLimbs(S::L, S::B, [](uint32_t i) { return i % 2 ? S::kMask : 0u; }) % twoP}) {
        const std::string what = ::testing::PrintToString(x);
        m.expect(value(narrow::montgomeryColumns<Q, W, true>(limbsOf(x), mod)), m.overR(x * x), twoP, "x^2/R, x=" + what);
        m.expect(value(narrow::montgomeryColumns<Q, W, false>(limbsOf(x), mod)), m.overR(x), x % p == 0 ? p + 1 : p, "x/R, x=" + what);
    }
    EXPECT_EQ((valueOf<W, 32>(narrow::wordsOf<Q, W>(limbsOf(p - 1)).w)), p - 1);
}

template <uint32_t Q, uint32_t W>
void checkLimbs(uint64_t k, uint32_t n, std::mt19937_64& random) {
    constexpr uint32_t L = limbs::Shape<Q, W>::kLimbs;
    struct Number : limbs::Limbs<L> {
        uint64_t& operator[](uint32_t i) { return this->v[i]; }
        uint64_t operator[](uint32_t i) const { return this->v[i]; }
    };
    const auto value = [](const limbs::Limbs<L>& x) { return valueOf<L, 64>(static_cast<const Number&>(x)); };
    const auto limbsOf = [](const Mpz& x) { return numberOf<Number, L, 64>(x); };
    const testing::MontgomeryOracle m(k, n, 64 * L);
    const limbs::Modulus64<Q, W> mod = limbs::formModulus<Q, W>(k, n);
    // The steps of the starting values: 64 bits at a time, and the shorter
    // ones the IFMA path's start ends with.
    for (const Mpz& r : {Mpz(0), Mpz(1), m.p - 1, Mpz::randomBelow(m.p, random)})
        for (uint32_t b : {1u, 12u, 52u, 63u, 64u})
            m.expect(value(limbs::timesPowerOfTwo(limbsOf(r), mod, b)), r << b, m.p, "r*2^" + std::to_string(b));
    // Residues stay below 2P where W is odd and below R where it is even.
    const Mpz top = limbs::Shape<Q, W>::kLazy ? m.p << 1 : m.r;
    for (const Mpz& x : {Mpz(0), Mpz(1), m.p - 1, m.p, top - 1, Mpz(1) << (64 * (L - 1)), Mpz::randomBelow(top, random)}) {
        m.expect(value(limbs::montgomerySquare(limbsOf(x), mod)), m.overR(x * x), top, "x^2/R");
        m.expect(value(limbs::montgomeryColumns<Q, W, false>(limbsOf(x), mod)), m.overR(x), m.p, "x/R");
    }
}

// The vector paths' lanes against the oracle: x^2/R below 2P and x/R at
// most P for the residue x of each lane, every limb within its bits.
template <uint32_t N, uint32_t Lanes, uint32_t LimbBits, class Numbers>
void expectLanes(const testing::MontgomeryOracle& m, const std::vector<Mpz>& xs, const Numbers& squared, const Numbers& plain) {
    const Mpz twoP = m.p << 1;
    for (uint32_t lane = 0; lane < Lanes; ++lane) {
        const auto lanes = [&](const Numbers& x) {
            for (uint32_t l = 0; l < N; ++l) EXPECT_LT(x.limb[l][lane], uint64_t{1} << LimbBits) << "limb " << l;
            return Mpz::fromLimbs(N, LimbBits, [&](uint32_t l) { return x.limb[l][lane]; });
        };
        const std::string x = ::testing::PrintToString(xs[lane]);
        m.expect(lanes(squared), m.overR(xs[lane] * xs[lane]), twoP, "x^2/R below 2P, x=" + x);
        m.expect(lanes(plain), m.overR(xs[lane]), m.p + 1, "x/R at most P, x=" + x);
    }
}

#if KALVENOR_HAS_IFMA_PATH
template <uint32_t N, uint32_t J, bool Square>
KALVENOR_IFMA_TARGET void columnsOnLanes(const ifma::LaneNumbers<N>& in, const ifma::LaneNumbers<3>& t,
                                         const uint64_t* factor, ifma::LaneNumbers<N>& out) {
    ifma::Modulus mod;
    for (uint32_t s = 0; s < 3; ++s) mod.t[s] = _mm512_load_si512(t.limb[s]);
    mod.factor = _mm512_loadu_si512(factor);
    ifma::store(ifma::montgomeryColumns<N, J, Square>(ifma::load(in), mod), out);
}

// One multiplier k at exponent n with eight residues side by side: 0, 1,
// P - 1, P, 2P - 1 and three at random below 2P. J is n / 52.
template <uint32_t Q, uint32_t W, uint32_t J>
void checkIfma(uint64_t k, uint32_t n, std::mt19937_64& random) {
    constexpr uint32_t N = ifma::limbsFor(W);
    const testing::MontgomeryOracle m(k, n, ifma::kLimbBits * N);
    const Mpz twoP = m.p << 1;
    ifma::LaneStart<Q, W> start;
    for (uint32_t lane = 0; lane < ifma::kLanes; ++lane) ifma::startLane(start, lane, k, n);
    const std::vector<Mpz> xs = {0, 1, m.p - 1, m.p, twoP - 1, Mpz::randomBelow(twoP, random),
                                 Mpz::randomBelow(twoP, random), Mpz::randomBelow(twoP, random)};
    ifma::LaneNumbers<N> in, squared, plain;
    for (uint32_t lane = 0; lane < ifma::kLanes; ++lane)
        for (uint32_t l = 0; l < N; ++l) in.limb[l][lane] = xs[lane].limb(l, ifma::kLimbBits);
    columnsOnLanes<N, J, true>(in, start.t, start.factor, squared);
    columnsOnLanes<N, J, false>(in, start.t, start.factor, plain);
    expectLanes<N, ifma::kLanes, ifma::kLimbBits>(m, xs, squared, plain);
}
#endif

#if KALVENOR_HAS_AVX2_PATH
template <uint32_t Q, uint32_t W, uint32_t J, bool Square>
KALVENOR_AVX2_TARGET void columnsOnLanes(const avx2::LaneNumbers<avx2::limbsFor(W)>& in, const avx2::LaneNumbers<avx2::kTLimbs>& t,
                                         avx2::LaneNumbers<avx2::limbsFor(W)>& out) {
    avx2::Modulus mod;
    for (uint32_t s = 0; s < avx2::kTLimbs; ++s) mod.t[s] = _mm256_load_si256(reinterpret_cast<const __m256i*>(t.limb[s]));
    avx2::store(avx2::montgomeryColumns<avx2::limbsFor(W), W, J, Square>(avx2::load(in), mod), out);
}

// The same for AVX2's four lanes: 0, P - 1, 2P - 1 and one at random below 2P.
template <uint32_t Q, uint32_t W, uint32_t J>
void checkAvx2(uint64_t k, uint32_t n, std::mt19937_64& random) {
    constexpr uint32_t N = avx2::limbsFor(W);
    const testing::MontgomeryOracle m(k, n, avx2::kLimbBits * N);
    const Mpz twoP = m.p << 1;
    avx2::LaneStart<Q, W> start;
    for (uint32_t lane = 0; lane < avx2::kLanes; ++lane) avx2::startLane(start, lane, k, n);
    const std::vector<Mpz> xs = {0, m.p - 1, twoP - 1, Mpz::randomBelow(twoP, random)};
    avx2::LaneNumbers<N> in, squared, plain;
    for (uint32_t lane = 0; lane < avx2::kLanes; ++lane)
        for (uint32_t l = 0; l < N; ++l) in.limb[l][lane] = xs[lane].limb(l, avx2::kLimbBits);
    columnsOnLanes<Q, W, J, true>(in, start.t, squared);
    columnsOnLanes<Q, W, J, false>(in, start.t, plain);
    expectLanes<N, avx2::kLanes, avx2::kLimbBits>(m, xs, squared, plain);
}
#endif

enum class Path { Narrow, Limbs, Ifma, Avx2 };
void PrintTo(Path path, std::ostream* os) { *os << std::vector{"Narrow", "Limbs", "Ifma", "Avx2"}[static_cast<int>(path)]; }

template <uint32_t Q, uint32_t W>
void checkPair(Path path, std::mt19937_64& random) {
    for (uint32_t n : windowExponents(Q, random)) {
        for (uint64_t k : edgeMultipliers(W, n, random)) {
            SCOPED_TRACE(::testing::Message() << "k=" << k << " n=" << n);
            if (path == Path::Narrow) checkNarrow<Q, W>(k, n, random);
            if (path == Path::Limbs) checkLimbs<Q, W>(k, n, random);
#if KALVENOR_HAS_IFMA_PATH
            constexpr uint32_t kFirstJ = 32 * Q / ifma::kLimbBits, kLastJ = (32 * Q + 31) / ifma::kLimbBits;
            if (path == Path::Ifma && n / ifma::kLimbBits == kFirstJ) checkIfma<Q, W, kFirstJ>(k, n, random);
            if (path == Path::Ifma && n / ifma::kLimbBits != kFirstJ) checkIfma<Q, W, kLastJ>(k, n, random);
#endif
#if KALVENOR_HAS_AVX2_PATH
            constexpr uint32_t kFirstJ2 = 32 * Q / avx2::kLimbBits, kLastJ2 = (32 * Q + 31) / avx2::kLimbBits;
            if (path == Path::Avx2 && n / avx2::kLimbBits == kFirstJ2) checkAvx2<Q, W, kFirstJ2>(k, n, random);
            if (path == Path::Avx2 && n / avx2::kLimbBits != kFirstJ2) checkAvx2<Q, W, kLastJ2>(k, n, random);
#endif
        }
    }
}

constexpr auto kChecks =
    perKernel([]<uint32_t Q, uint32_t W>() -> void (*)(Path, std::mt19937_64&) { return &checkPair<Q, W>; });

class EveryPair : public ::testing::TestWithParam<std::tuple<int, Path>> {};

TEST_P(EveryPair, ArithmeticMatchesGmpAtItsBounds) {
    const auto [index, path] = GetParam();
    if (path == Path::Ifma && !ifmaUsable()) GTEST_SKIP() << "this processor does not run AVX-512 IFMA";
    if (path == Path::Avx2 && !avx2Usable()) GTEST_SKIP() << "this processor does not run AVX2";
    std::mt19937_64 random(100 * static_cast<uint64_t>(path) + static_cast<uint64_t>(index));
    kChecks[static_cast<std::size_t>(index)](path, random);
}

std::string pairName(const ::testing::TestParamInfo<std::tuple<int, Path>>& info) {
    return std::string(kKernels[std::get<0>(info.param)].name) + "_" + ::testing::PrintToString(std::get<1>(info.param));
}

INSTANTIATE_TEST_SUITE_P(Kernels, EveryPair,
                         ::testing::Combine(::testing::Range(0, kKernelCount),
                                            ::testing::Values(Path::Narrow, Path::Limbs, Path::Ifma, Path::Avx2)),
                         pairName);

// ---- the host reference, which checks the kernels in the self-test ----

// Edge multipliers at edge exponents, random ones anywhere, and factors of
// Fermat numbers, which drive the squarings through -1 to exactly 1.
TEST(ReferenceResidue, MatchesGmp) {
    std::mt19937_64 random(41);
    std::vector<std::pair<uint64_t, uint32_t>> cases = {{5, 127}, {403, 252}, {76432329, 74}, {3, 41}, {27609, 341}};
    for (uint64_t k : {1ull, 3ull, 0xffffffffull, 0x100000000ull, ~0ull, 0x7fffffffffffffffull, 0xfffffffe00000001ull})
        for (uint32_t n : {1u, 31u, 32u, 33u, 63u, 64u, 127u, 128u, 511u, 607u}) cases.push_back({k, n});
    for (int i = 0; i < 150; ++i)
        cases.push_back({multiplierWithTopBit(static_cast<uint32_t>(random() % 64), random), 1 + static_cast<uint32_t>(random() % 607)});
    for (const auto& [k, n] : cases) {
        const size_t words = (mpz_sizeinbase(testing::candidate(k, n).get(), 2) + 31) / 32;
        EXPECT_EQ(referenceResidue(k, n), testing::gmpResidue(k, n, static_cast<uint32_t>(words))) << k << " " << n;
        EXPECT_EQ(referenceTest(k, n), testing::gmpIsFactor(k, n)) << k << " " << n;
    }
    EXPECT_TRUE(referenceTest(5, 127) && referenceTest(27609, 341));
    EXPECT_EQ(referenceResidue(0, 100), std::vector<uint32_t>{0});  // P = 1
    EXPECT_TRUE(referenceResidue(3, 641).empty());                   // beyond what it holds

    // The Fermat number a factor divides: the m with 2^(2^m) = -1 (mod P),
    // by GMP, for every case above and for known factors; none for a P that
    // fails the test, or that passes as a product of factors of two Fermat
    // numbers: 65537 * 274177 = 70190383*2^8+1 (F4 and F6).
    const auto gmpIndex = [](uint64_t k, uint32_t n) -> std::optional<uint32_t> {
        if (k % 2 == 0 || !testing::gmpIsFactor(k, n)) return std::nullopt;
        const testing::Mpz p = testing::candidate(k, n);
        for (uint32_t m = 0; m + 2 <= n; ++m) {
            testing::Mpz r;
            mpz_powm(r.get(), testing::Mpz(2).get(), (testing::Mpz(1) << m).get(), p.get());
            if (r == p - 1) return m;
        }
        return std::nullopt;
    };
    for (const auto& [k, n] : cases) EXPECT_EQ(fermatIndexOf(k, n), gmpIndex(k, n)) << k << " " << n;
    const std::tuple<uint64_t, uint32_t, std::optional<uint32_t>> known[] = {
        {25709319373ull, 36, 28}, {5, 127, 125},   {76432329, 74, 72},    {1527888802614951ull, 120, 118},
        {32111, 217, 215},        {403, 252, 250}, {27609, 341, 334},     {5769285, 434, 431},
        {70190383, 8, std::nullopt}, {7, 36, std::nullopt},
    };
    for (const auto& [k, n, m] : known) EXPECT_EQ(fermatIndexOf(k, n), m) << k << "*2^" << n << "+1";
    EXPECT_TRUE(referenceTest(70190383, 8)) << "the composite passes the test all the same";
}

}  // namespace
}  // namespace kalvenor
