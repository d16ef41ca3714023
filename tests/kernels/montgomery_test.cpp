// The pieces of the candidate test, for every (window, word count) pair,
// against GMP: the Montgomery form of 2, the Montgomery squaring, the
// reduction with its final subtraction, and the test for one.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <memory>
#include <random>
#include <utility>
#include <vector>

#include "kernels/candidate_test.h"
#include "kernels/gmp_support.h"
#include "kernels/kernel_table.h"

namespace kalvenor {
namespace {

using testing::Mpz;

template <uint32_t Q, uint32_t W>
class Bench {
public:
    Bench(uint64_t k, uint32_t n) : k_(k), n_(n) {
        testing::setCandidate(p_, k, n);
        mpz_setbit(r_.get(), 32 * W);
        mpz_invert(rInverse_.get(), r_.get(), p_.get());
        mod_ = formModulus<Q, W>(k, n - 32 * Q);
    }

    const Modulus<Q, W>& mod() const { return mod_; }
    uint32_t s() const { return 32 * W - n_ - topBitIndex(k_); }
    const Mpz& p() const { return p_; }
    const Mpz& r() const { return r_; }

    static Words<W> toWords(const Mpz& value) {
        const std::vector<uint32_t> v = value.words(W);
        Words<W> out;
        for (uint32_t i = 0; i < W; ++i) out.w[i] = v[i];
        return out;
    }
    static void fromWords(Mpz& value, const Words<W>& words) { value.setWords(words.w, W); }

    // value * R^-1 mod P
    void divideByR(Mpz& value) const {
        mpz_mul(value.get(), value.get(), rInverse_.get());
        mpz_mod(value.get(), value.get(), p_.get());
    }

    void expectEqual(const Words<W>& got, const Mpz& expected, const char* what) const {
        Mpz value;
        fromWords(value, got);
        EXPECT_EQ(mpz_cmp(value.get(), expected.get()), 0)
            << what << " for k=" << k_ << " n=" << n_ << ": got " << mpz_get_str(nullptr, 16, value.get())
            << ", expected " << mpz_get_str(nullptr, 16, expected.get());
    }

private:
    uint64_t k_;
    uint32_t n_;
    Mpz p_, r_, rInverse_;
    Modulus<Q, W> mod_;
};

template <uint32_t Q, uint32_t W>
void checkModulus(uint64_t k, uint32_t n, std::mt19937_64& random) {
    ASSERT_TRUE((servesCandidate<Q, W>(k, n))) << "k=" << k << " n=" << n;
    const Bench<Q, W> bench(k, n);
    const Mpz& p = bench.p();

    // Montgomery form of 2.
    {
        Mpz expected;
        mpz_mul_2exp(expected.get(), bench.r().get(), 1);
        mpz_mod(expected.get(), expected.get(), p.get());
        bench.expectEqual(montgomeryTwo(bench.mod(), bench.s()), expected, "2R mod P");
    }

    // Residues to square: the ends of the range, words that are zero or
    // full, and low words whose square has a zero low word.
    std::vector<std::pair<const char*, Mpz*>> inputs;
    std::vector<std::unique_ptr<Mpz>> owned;
    auto input = [&](const char* what) -> Mpz& {
        owned.push_back(std::make_unique<Mpz>());
        inputs.push_back({what, owned.back().get()});
        return *owned.back();
    };
    mpz_set_ui(input("0").get(), 0);
    mpz_set_ui(input("1").get(), 1);
    mpz_sub_ui(input("P-1").get(), p.get(), 1);
    mpz_sub_ui(input("P-2").get(), p.get(), 2);
    mpz_mod(input("R mod P").get(), bench.r().get(), p.get());
    for (uint32_t low : {0u, 0x10000u, 0x12340000u, 0xffff0000u}) {
        // A random multiple of 2^32 below P - 2^32, plus the chosen low word.
        Mpz& x = input("low word a multiple of 2^16");
        std::array<uint32_t, W> words;
        for (uint32_t i = 0; i < W; ++i) words[i] = static_cast<uint32_t>(random());
        Mpz above;
        mpz_tdiv_q_2exp(above.get(), p.get(), 32);
        x.setWords(words.data(), W);
        mpz_mod(x.get(), x.get(), above.get());
        mpz_mul_2exp(x.get(), x.get(), 32);
        mpz_add_ui(x.get(), x.get(), low);
    }
    {
        Mpz& x = input("words alternately zero and full");
        std::array<uint32_t, W> words;
        for (uint32_t i = 0; i < W; ++i) words[i] = i % 2 ? 0xffffffffu : 0;
        x.setWords(words.data(), W);
        mpz_mod(x.get(), x.get(), p.get());
    }
    for (int i = 0; i < 4; ++i) {
        Mpz& x = input("random");
        std::array<uint32_t, W> words;
        for (uint32_t j = 0; j < W; ++j) words[j] = static_cast<uint32_t>(random());
        x.setWords(words.data(), W);
        mpz_mod(x.get(), x.get(), p.get());
    }
    for (const auto& [what, x] : inputs) {
        Mpz expected;
        mpz_mul(expected.get(), x->get(), x->get());
        bench.divideByR(expected);
        bench.expectEqual(montgomerySquare(Bench<Q, W>::toWords(*x), bench.mod()), expected, what);
    }

    // The reduction on its own, including both sides of the final subtraction:
    // lo + hi*R with hi = P-1 and lo = 0 (P-1, kept), hi = P (P, becomes 0),
    // and the largest input, whose sum overflows W words when P is wide.
    {
        struct Case {
            const char* what;
            long hiMinusP;
            bool fullLow;
        };
        for (const Case c : {Case{"(P-1)R", -1, false}, Case{"PR", 0, false},
                             Case{"(P-1)R + R-1", -1, true}, Case{"(P-2)R + R-1", -2, true}}) {
            Mpz hi, lo, t;
            mpz_sub_ui(hi.get(), p.get(), static_cast<unsigned long>(-c.hiMinusP));
            if (c.fullLow) mpz_sub_ui(lo.get(), bench.r().get(), 1);
            mpz_mul(t.get(), hi.get(), bench.r().get());
            mpz_add(t.get(), t.get(), lo.get());
            bench.divideByR(t);
            bench.expectEqual(montgomeryReduce(Bench<Q, W>::toWords(lo), Bench<Q, W>::toWords(hi), bench.mod()),
                              t, c.what);
        }
    }

    // The test for one.
    {
        Mpz one;
        mpz_mod(one.get(), bench.r().get(), p.get());
        EXPECT_TRUE(isMontgomeryOne(Bench<Q, W>::toWords(one), bench.mod()));
        for (long delta : {1L, -1L}) {
            Mpz near;
            if (delta > 0) mpz_add_ui(near.get(), one.get(), 1);
            else mpz_sub_ui(near.get(), one.get(), 1);
            mpz_mod(near.get(), near.get(), p.get());
            EXPECT_FALSE(isMontgomeryOne(Bench<Q, W>::toWords(near), bench.mod())) << delta;
        }
        for (unsigned long v : {0ul, 2ul, 3ul}) {  // the Montgomery forms of 0, 2 and 3
            Mpz x;
            mpz_mul_ui(x.get(), bench.r().get(), v);
            mpz_mod(x.get(), x.get(), p.get());
            EXPECT_FALSE(isMontgomeryOne(Bench<Q, W>::toWords(x), bench.mod())) << v;
        }
        Mpz x;
        mpz_set_ui(x.get(), 1);
        EXPECT_FALSE(isMontgomeryOne(Bench<Q, W>::toWords(x), bench.mod()));
        mpz_sub_ui(x.get(), p.get(), 1);
        EXPECT_FALSE(isMontgomeryOne(Bench<Q, W>::toWords(x), bench.mod()));
    }
}

// x^2 = 0 mod P for x = P/3 when 9 divides P: the reduction must land on 0
// whether it reaches it as 0 or as P.
template <uint32_t Q, uint32_t W>
void checkSquareToZero(uint64_t k, uint32_t n) {
    Mpz p;
    for (;; k += 2) {
        testing::setCandidate(p, k, n);
        if (mpz_divisible_ui_p(p.get(), 9)) break;
    }
    if (!servesCandidate<Q, W>(k, n)) return;
    const Bench<Q, W> bench(k, n);
    Mpz x, zero;
    mpz_divexact_ui(x.get(), p.get(), 3);
    bench.expectEqual(montgomerySquare(Bench<Q, W>::toWords(x), bench.mod()), zero, "(P/3)^2");
}

template <uint32_t Q, uint32_t W>
void checkPair() {
    std::mt19937_64 random(Q * 100 + W);
    for (uint32_t r : {0u, 31u, 1u + static_cast<uint32_t>(random() % 30)}) {
        const uint32_t n = 32 * Q + r;
        const int low = std::max(0, static_cast<int>(32 * (W - 1)) - static_cast<int>(n));
        const int high = std::min(63, static_cast<int>(32 * W - 1) - static_cast<int>(n));
        if (low > high) continue;
        const int middle = low + static_cast<int>(random() % (high - low + 1));
        for (int b : {low, middle, high}) {
            const uint64_t top = uint64_t{1} << b;
            checkModulus<Q, W>(top, n, random);              // s = 32 when b = low
            checkModulus<Q, W>(top | (top - 1), n, random);  // s = 1 (or 2) when b = high
            checkModulus<Q, W>(testing::multiplierWithTopBitIndex(b, random), n, random);
        }
        checkSquareToZero<Q, W>(uint64_t{1} << middle | 1, n);
    }
}

constexpr std::array<void (*)(), kKernelCount> kChecks =
    perKernel([]<uint32_t Q, uint32_t W>() -> void (*)() { return &checkPair<Q, W>; });

class EveryPair : public ::testing::TestWithParam<int> {};

TEST_P(EveryPair, MontgomeryArithmeticMatchesGmp) {
    ASSERT_EQ(kKernels[GetParam()].q, kernelWindow(GetParam()));
    ASSERT_EQ(kKernels[GetParam()].w, kernelWords(GetParam()));
    kChecks[GetParam()]();
}

INSTANTIATE_TEST_SUITE_P(Kernels, EveryPair, ::testing::Range(0, kKernelCount),
                         [](const ::testing::TestParamInfo<int>& info) { return kKernels[info.param].name; });

}  // namespace
}  // namespace kalvenor
