// The host kernels' arithmetic on 64-bit limbs against GMP, for every
// (window, word count) pair: the one-limb step that forms the starting
// value, the Montgomery squaring at the ends of the range a residue may take
// between squarings, the final x/R, and the window-1 Montgomery factor.
// The kernels as a whole are checked in host_kernels_test.cpp.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <random>
#include <utility>
#include <vector>

#include "kernels/gmp_support.h"
#include "kernels/host_launch.h"
#include "kernels/kernel_table.h"
#include "kernels/limb_test.h"

namespace kalvenor {
namespace {

using testing::Mpz;

template <uint32_t Q, uint32_t W>
class LimbBench {
public:
    using S = limbs::Shape<Q, W>;
    static constexpr uint32_t L = S::kLimbs;

    LimbBench(uint64_t k, uint32_t n) : k_(k), n_(n), mod_(limbs::formModulus<Q, W>(k, n)) {
        testing::setCandidate(p_, k, n);
        mpz_setbit(r_.get(), 64 * L);
        mpz_invert(rInverse_.get(), r_.get(), p_.get());
    }

    const limbs::Modulus64<Q, W>& mod() const { return mod_; }
    const Mpz& p() const { return p_; }
    const Mpz& r() const { return r_; }

    static limbs::Limbs<L> toLimbs(const Mpz& value) {
        const std::vector<uint32_t> words = value.words(2 * L);
        limbs::Limbs<L> out;
        for (uint32_t l = 0; l < L; ++l) out.v[l] = (uint64_t{words[2 * l + 1]} << 32) | words[2 * l];
        return out;
    }
    static void fromLimbs(Mpz& value, const limbs::Limbs<L>& x) {
        std::vector<uint32_t> words;
        for (uint32_t l = 0; l < L; ++l) {
            words.push_back(static_cast<uint32_t>(x.v[l]));
            words.push_back(static_cast<uint32_t>(x.v[l] >> 32));
        }
        value.setWords(words.data(), words.size());
    }

    // value * R^-1 mod P
    void divideByR(Mpz& value) const {
        mpz_mul(value.get(), value.get(), rInverse_.get());
        mpz_mod(value.get(), value.get(), p_.get());
    }

    // got is congruent to expected (already reduced) modulo P and below bound.
    void expectCongruent(const limbs::Limbs<L>& got, const Mpz& expected, const Mpz& bound,
                         const char* what) const {
        Mpz value, reduced;
        fromLimbs(value, got);
        mpz_mod(reduced.get(), value.get(), p_.get());
        EXPECT_EQ(mpz_cmp(reduced.get(), expected.get()), 0)
            << what << " for k=" << k_ << " n=" << n_ << ": got " << mpz_get_str(nullptr, 16, value.get())
            << ", expected " << mpz_get_str(nullptr, 16, expected.get()) << " mod P";
        EXPECT_LT(mpz_cmp(value.get(), bound.get()), 0)
            << what << " for k=" << k_ << " n=" << n_ << ": " << mpz_get_str(nullptr, 16, value.get())
            << " is not below " << mpz_get_str(nullptr, 16, bound.get());
    }

private:
    uint64_t k_;
    uint32_t n_;
    limbs::Modulus64<Q, W> mod_;
    Mpz p_, r_, rInverse_;
};

template <uint32_t Q, uint32_t W>
void checkModulus(uint64_t k, uint32_t n, std::mt19937_64& random) {
    using Bench = LimbBench<Q, W>;
    constexpr uint32_t L = Bench::L;
    ASSERT_TRUE((servesCandidate<Q, W>(k, n))) << "k=" << k << " n=" << n;
    const Bench bench(k, n);
    const Mpz& p = bench.p();

    // The one-limb step r*2^64 mod P, fully reduced, and the starting value.
    {
        std::vector<Mpz> rs(4);
        mpz_set_ui(rs[1].get(), 1);
        mpz_sub_ui(rs[2].get(), p.get(), 1);
        for (uint32_t l = 0; l < L; ++l) {
            mpz_mul_2exp(rs[3].get(), rs[3].get(), 64);
            Mpz part(random());
            mpz_add(rs[3].get(), rs[3].get(), part.get());
        }
        mpz_mod(rs[3].get(), rs[3].get(), p.get());
        for (const Mpz& r : rs) {
            Mpz expected;
            mpz_mul_2exp(expected.get(), r.get(), 64);
            mpz_mod(expected.get(), expected.get(), p.get());
            bench.expectCongruent(limbs::timesLimbRadix(Bench::toLimbs(r), bench.mod()), expected, p,
                                  "r*2^64 mod P");
            // Shorter steps, which the IFMA path's start ends with.
            for (uint32_t b : {1u, 12u, 52u, 63u}) {
                mpz_mul_2exp(expected.get(), r.get(), b);
                mpz_mod(expected.get(), expected.get(), p.get());
                bench.expectCongruent(limbs::timesPowerOfTwo(Bench::toLimbs(r), bench.mod(), b), expected, p,
                                      "r*2^b mod P");
            }
        }
        Mpz expected;
        mpz_mul_2exp(expected.get(), bench.r().get(), 64 * limbs::kStartLimbs);
        mpz_mod(expected.get(), expected.get(), p.get());
        bench.expectCongruent(limbs::montgomeryStart(bench.mod()), expected, p, "2^(64m)*R mod P");
    }

    // Squares of residues up to the largest a squaring may meet: below 2P
    // where W is odd, below R where it is even.
    Mpz top;
    if constexpr (Bench::S::kLazy) {
        mpz_mul_2exp(top.get(), p.get(), 1);
    } else {
        mpz_set(top.get(), bench.r().get());
    }
    std::vector<Mpz> xs(7);
    mpz_set_ui(xs[1].get(), 1);
    mpz_sub_ui(xs[2].get(), p.get(), 1);
    mpz_set(xs[3].get(), p.get());
    mpz_sub_ui(xs[4].get(), top.get(), 1);
    mpz_set_ui(xs[5].get(), 1);
    mpz_mul_2exp(xs[5].get(), xs[5].get(), 64 * (L - 1));  // one limb set, the rest zero
    for (uint32_t l = 0; l < 2 * L; ++l) {
        mpz_mul_2exp(xs[6].get(), xs[6].get(), 32);
        Mpz part(random() & 0xffffffffu);
        mpz_add(xs[6].get(), xs[6].get(), part.get());
    }
    mpz_mod(xs[6].get(), xs[6].get(), top.get());
    for (const Mpz& x : xs) {
        const limbs::Limbs<L> in = Bench::toLimbs(x);
        Mpz square;
        mpz_mul(square.get(), x.get(), x.get());
        bench.divideByR(square);
        bench.expectCongruent(limbs::montgomerySquare(in, bench.mod()), square, top, "x^2/R");
        Mpz plain;
        mpz_set(plain.get(), x.get());
        bench.divideByR(plain);
        bench.expectCongruent(limbs::montgomeryColumns<Q, W, false>(in, bench.mod()), plain, p, "x/R");
    }
}

template <uint32_t Q, uint32_t W>
void checkPair() {
    std::mt19937_64 random(4000 + 97 * Q + W);
    for (uint32_t n : {32 * Q, 32 * Q + 1 + static_cast<uint32_t>(random() % 30), 32 * Q + 31}) {
        const int low = std::max(0, static_cast<int>(32 * (W - 1)) - static_cast<int>(n));
        const int high = std::min(63, static_cast<int>(32 * W - 1) - static_cast<int>(n));
        if (low > high) continue;
        for (int b : {low, (low + high) / 2, high}) {
            const uint64_t top = uint64_t{1} << b;
            checkModulus<Q, W>(top, n, random);              // top 64 bits of P exactly 2^63
            checkModulus<Q, W>(top | (top - 1), n, random);  // all ones below the 1
            checkModulus<Q, W>(testing::multiplierWithTopBitIndex(b, random), n, random);
        }
    }
}

constexpr std::array<void (*)(), kKernelCount> kChecks =
    perKernel([]<uint32_t Q, uint32_t W>() -> void (*)() { return &checkPair<Q, W>; });

class EveryLimbShape : public ::testing::TestWithParam<int> {};

TEST_P(EveryLimbShape, ArithmeticMatchesGmp) { kChecks[GetParam()](); }

INSTANTIATE_TEST_SUITE_P(Kernels, EveryLimbShape, ::testing::Range(0, kKernelCount),
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

// Several multipliers share one squaring loop; slots the kernel does not
// serve are left out of the groups. Whatever the mix, every slot gets its own
// residue and verdict, and records keep the order of the slots.
TEST(HostKernelGroups, MixedSlotsKeepTheirOwnResiduesAndRecords) {
    struct Case {
        const char* kernel;
        uint32_t n;
        uint64_t factor;
    };
    for (const Case& c : {Case{"kalvenor96bit_n32_63", 36, 25709319373u},
                          Case{"kalvenor160bit_n96_127", 127, 5},
                          Case{"kalvenor192bit_n96_127", 120, 1527888802614951u}}) {
        SCOPED_TRACE(c.kernel);
        const int index = kernelIndexByName(c.kernel);
        const uint32_t w = kKernels[index].w;
        // Unserved: 0 and a multiplier far too wide; the rest beside the factor are plain.
        const std::vector<uint64_t> ks = {c.factor,     0,           c.factor + 2, c.factor,
                                          c.factor + 4, ~uint64_t{0}, c.factor + 6, c.factor,
                                          c.factor + 8, c.factor + 10, c.factor};
        for (testing::HostPath path : testing::kHostPaths) {
        const HostKernelFn kernel = testing::kernelOn(path, index);
        if (kernel == nullptr) continue;  // a path this processor does not run
        SCOPED_TRACE(testing::nameOf(path));
        const testing::HostLaunch launch = testing::launchOnHost(kernel, c.n, ks);
        for (size_t slot = 0; slot < ks.size(); ++slot) {
            SCOPED_TRACE(::testing::Message() << "slot " << slot);
            const uint32_t span = ks[slot] == 0 ? 0 : c.n + 63 - static_cast<uint32_t>(__builtin_clzll(ks[slot]));
            if (ks[slot] == 0 || span < 32 * (w - 1) || span > 32 * w - 1) {
                EXPECT_EQ(launch.residueOf(slot)[0], testing::kUntouched);
                continue;
            }
            const std::vector<uint32_t> got(launch.residueOf(slot), launch.residueOf(slot) + w);
            EXPECT_EQ(got, testing::gmpResidue(ks[slot], c.n, w));
        }
        EXPECT_EQ(launch.result[0], 4u);
        EXPECT_EQ(testing::recordedMultipliers(launch.result),
                  (std::vector<uint64_t>{c.factor, c.factor, c.factor}));
    }
    }
}

}  // namespace
}  // namespace kalvenor
