// The IFMA path's arithmetic against GMP, for every (window, word count)
// pair and both limb positions of P's multiplier in the window: the starting
// value, one Montgomery squaring of residues up to the largest it may meet
// (2P - 1), and the final x/R. The kernels as a whole are checked in
// host_kernels_test.cpp; this pins down the bounds the kernels rely on,
// which ordinary residues rarely reach.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "kernels/gmp_support.h"
#include "kernels/ifma_kernels.h"
#include "kernels/ifma_test.h"
#include "kernels/kernel_table.h"

#if KALVENOR_HAS_IFMA_PATH

namespace kalvenor {
namespace {

using ifma::kLanes;
using ifma::LaneNumbers;
using testing::Mpz;

template <uint32_t N, uint32_t J, bool Square>
KALVENOR_IFMA_TARGET void columnsOnLanes(const LaneNumbers<N>& in, const LaneNumbers<3>& t, const uint64_t* factor,
                                         LaneNumbers<N>& out) {
    ifma::Modulus mod;
    for (uint32_t s = 0; s < 3; ++s) mod.t[s] = _mm512_load_si512(t.limb[s]);
    mod.factor = _mm512_loadu_si512(factor);
    ifma::store(ifma::montgomeryColumns<N, J, Square>(ifma::load(in), mod), out);
}

std::string hex(const Mpz& value) {
    std::string text(mpz_sizeinbase(value.get(), 16) + 2, '\0');
    mpz_get_str(text.data(), 16, value.get());
    text.resize(std::strlen(text.c_str()));
    return text;
}

template <uint32_t N>
void laneValue(Mpz& value, const LaneNumbers<N>& x, uint32_t lane) {
    mpz_set_ui(value.get(), 0);
    for (uint32_t l = N; l-- > 0;) {
        mpz_mul_2exp(value.get(), value.get(), ifma::kLimbBits);
        Mpz limb(x.limb[l][lane]);
        mpz_add(value.get(), value.get(), limb.get());
    }
}

template <uint32_t N>
void setLane(LaneNumbers<N>& x, uint32_t lane, const Mpz& value) {
    Mpz rest;
    mpz_set(rest.get(), value.get());
    for (uint32_t l = 0; l < N; ++l) {
        x.limb[l][lane] = mpz_get_ui(rest.get()) & ifma::kLimbMask;
        mpz_fdiv_q_2exp(rest.get(), rest.get(), ifma::kLimbBits);
    }
    ASSERT_EQ(mpz_sgn(rest.get()), 0) << "the value must fit N limbs";
}

// Every limb is a proper 52-bit limb, so the next squaring reads all of it.
template <uint32_t N>
void expectLimbs(const LaneNumbers<N>& x, uint32_t lane) {
    for (uint32_t l = 0; l < N; ++l) EXPECT_LE(x.limb[l][lane], ifma::kLimbMask) << "limb " << l;
}

// One multiplier k at exponent n, with eight residues side by side.
template <uint32_t Q, uint32_t W, uint32_t J>
void checkModulus(uint64_t k, uint32_t n, std::mt19937_64& random) {
    constexpr uint32_t N = ifma::limbsFor(W);
    ASSERT_EQ(n / ifma::kLimbBits, J);
    ASSERT_TRUE((servesCandidate<Q, W>(k, n))) << "k=" << k << " n=" << n;
    SCOPED_TRACE(::testing::Message() << "k=" << k << " n=" << n);
    Mpz p, r, rInverse, twoP;
    testing::setCandidate(p, k, n);
    mpz_setbit(r.get(), ifma::kLimbBits * N);
    mpz_invert(rInverse.get(), r.get(), p.get());
    mpz_mul_2exp(twoP.get(), p.get(), 1);

    ifma::LaneStart<Q, W> start;
    for (uint32_t lane = 0; lane < kLanes; ++lane) ifma::startLane(start, lane, k, n);
    // The start is the Montgomery form of 2^64, fully reduced.
    {
        Mpz got, expected;
        laneValue(got, start.x, 0);
        mpz_setbit(expected.get(), 64);
        mpz_mul(expected.get(), expected.get(), r.get());
        mpz_mod(expected.get(), expected.get(), p.get());
        EXPECT_EQ(mpz_cmp(got.get(), expected.get()), 0) << "2^64*R mod P";
        expectLimbs(start.x, 0);
    }

    // Residues: 0, 1, P - 1, P, 2P - 1 and three at random below 2P.
    std::vector<Mpz> xs(kLanes);
    mpz_set_ui(xs[1].get(), 1);
    mpz_sub_ui(xs[2].get(), p.get(), 1);
    mpz_set(xs[3].get(), p.get());
    mpz_sub_ui(xs[4].get(), twoP.get(), 1);
    for (uint32_t lane = 5; lane < kLanes; ++lane) {
        for (uint32_t l = 0; l < N; ++l) {
            mpz_mul_2exp(xs[lane].get(), xs[lane].get(), 64);
            Mpz part(random());
            mpz_add(xs[lane].get(), xs[lane].get(), part.get());
        }
        mpz_mod(xs[lane].get(), xs[lane].get(), twoP.get());
    }
    LaneNumbers<N> in;
    for (uint32_t lane = 0; lane < kLanes; ++lane) setLane(in, lane, xs[lane]);

    LaneNumbers<N> squared, plain;
    columnsOnLanes<N, J, true>(in, start.t, start.factor, squared);
    columnsOnLanes<N, J, false>(in, start.t, start.factor, plain);
    for (uint32_t lane = 0; lane < kLanes; ++lane) {
        SCOPED_TRACE("x=" + hex(xs[lane]));
        Mpz got, reduced, expected;
        // x^2/R: congruent, below 2P.
        mpz_mul(expected.get(), xs[lane].get(), xs[lane].get());
        mpz_mul(expected.get(), expected.get(), rInverse.get());
        mpz_mod(expected.get(), expected.get(), p.get());
        laneValue(got, squared, lane);
        mpz_mod(reduced.get(), got.get(), p.get());
        EXPECT_EQ(mpz_cmp(reduced.get(), expected.get()), 0) << "x^2/R";
        EXPECT_LT(mpz_cmp(got.get(), twoP.get()), 0) << "x^2/R below 2P";
        expectLimbs(squared, lane);
        // x/R: congruent, at most P.
        mpz_mul(expected.get(), xs[lane].get(), rInverse.get());
        mpz_mod(expected.get(), expected.get(), p.get());
        laneValue(got, plain, lane);
        mpz_mod(reduced.get(), got.get(), p.get());
        EXPECT_EQ(mpz_cmp(reduced.get(), expected.get()), 0) << "x/R";
        EXPECT_LE(mpz_cmp(got.get(), p.get()), 0) << "x/R at most P";
        expectLimbs(plain, lane);
    }
}

// The narrowest and widest P of the level at exponent n, and one between.
template <uint32_t Q, uint32_t W, uint32_t J>
void checkExponent(uint32_t n, std::mt19937_64& random) {
    const int low = std::max(0, static_cast<int>(32 * (W - 1)) - static_cast<int>(n));
    const int high = std::min(63, static_cast<int>(32 * W - 1) - static_cast<int>(n));
    if (low > high) return;  // the upper level at n = 32q serves nobody
    for (int b : {low, high}) {
        const uint64_t top = uint64_t{1} << b;
        checkModulus<Q, W, J>(top, n, random);
        checkModulus<Q, W, J>(top | (top - 1), n, random);
        checkModulus<Q, W, J>(testing::multiplierWithTopBitIndex(static_cast<uint32_t>(b), random), n, random);
    }
}

// The window's first and last exponent in each of its limb positions.
template <uint32_t Q, uint32_t W>
void checkKernel(std::mt19937_64& random) {
    constexpr uint32_t kFirst = 32 * Q;
    constexpr uint32_t kLast = 32 * Q + 31;
    constexpr uint32_t kFirstJ = kFirst / ifma::kLimbBits;
    constexpr uint32_t kLastJ = kLast / ifma::kLimbBits;
    if constexpr (kFirstJ == kLastJ) {
        checkExponent<Q, W, kFirstJ>(kFirst, random);
        checkExponent<Q, W, kFirstJ>(kLast, random);
    } else {
        constexpr uint32_t kStep = kLastJ * ifma::kLimbBits;
        checkExponent<Q, W, kFirstJ>(kFirst, random);
        checkExponent<Q, W, kFirstJ>(kStep - 1, random);
        checkExponent<Q, W, kLastJ>(kStep, random);
        checkExponent<Q, W, kLastJ>(kLast, random);
    }
}

using KernelCheck = void (*)(std::mt19937_64&);

constexpr auto kChecks = perKernel([]<uint32_t Q, uint32_t W>() -> KernelCheck { return &checkKernel<Q, W>; });

class IfmaArithmetic : public ::testing::TestWithParam<int> {};

TEST_P(IfmaArithmetic, MatchesGmpUpToTheLargestResidue) {
    if (!ifmaUsable()) GTEST_SKIP() << "this processor does not run AVX-512 IFMA";
    std::mt19937_64 random(3000 + GetParam());
    kChecks[static_cast<size_t>(GetParam())](random);
}

INSTANTIATE_TEST_SUITE_P(Kernels, IfmaArithmetic, ::testing::Range(0, kKernelCount),
                         [](const ::testing::TestParamInfo<int>& info) { return kKernels[info.param].name; });

}  // namespace
}  // namespace kalvenor

#endif  // KALVENOR_HAS_IFMA_PATH
