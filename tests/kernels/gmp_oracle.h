// GMP as the independent judge of the kernel arithmetic.
#pragma once

#include <gmp.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <compare>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <ostream>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

namespace kalvenor::testing {

// A GMP integer with just enough operators that the expected values read
// like the arithmetic they stand for.
class Mpz {
public:
    Mpz() { mpz_init(value_); }
    Mpz(uint64_t v) : Mpz() { mpz_import(value_, 1, -1, sizeof v, 0, 0, &v); }  // implicit: `p - 1` reads as it should
    Mpz(const Mpz& other) { mpz_init_set(value_, other.value_); }
    Mpz& operator=(const Mpz& other) {
        mpz_set(value_, other.value_);
        return *this;
    }
    ~Mpz() { mpz_clear(value_); }

    mpz_ptr get() { return value_; }
    mpz_srcptr get() const { return value_; }

    // The value of `count` limbs of `bits` bits, least significant first, limb(i) giving limb i.
    template <class Limb>
    static Mpz fromLimbs(uint32_t count, uint32_t bits, Limb limb) {
        Mpz out;
        for (uint32_t i = count; i-- > 0;) out = (out << bits) + Mpz(limb(i));
        return out;
    }
    // Limb i of the value cut into limbs of `bits` (at most 64) bits.
    uint64_t limb(uint32_t i, uint32_t bits) const {
        Mpz part;
        mpz_tdiv_q_2exp(part.value_, value_, i * bits);
        mpz_tdiv_r_2exp(part.value_, part.value_, bits);
        return mpz_getlimbn(part.value_, 0);
    }
    // A value drawn evenly enough below `bound`.
    static Mpz randomBelow(const Mpz& bound, std::mt19937_64& random) {
        const auto limbs = static_cast<uint32_t>(mpz_sizeinbase(bound.value_, 2) / 64 + 2);
        return fromLimbs(limbs, 64, [&](uint32_t) { return random(); }) % bound;
    }

    friend Mpz operator+(const Mpz& a, const Mpz& b) { return apply<mpz_add>(a, b); }
    friend Mpz operator-(const Mpz& a, const Mpz& b) { return apply<mpz_sub>(a, b); }
    friend Mpz operator*(const Mpz& a, const Mpz& b) { return apply<mpz_mul>(a, b); }
    friend Mpz operator%(const Mpz& a, const Mpz& b) { return apply<mpz_mod>(a, b); }
    friend Mpz operator<<(const Mpz& a, uint32_t b) { return apply<mpz_mul_2exp>(a, b); }
    friend Mpz operator>>(const Mpz& a, uint32_t b) { return apply<mpz_tdiv_q_2exp>(a, b); }
    friend bool operator==(const Mpz& a, const Mpz& b) { return mpz_cmp(a.value_, b.value_) == 0; }
    friend std::strong_ordering operator<=>(const Mpz& a, const Mpz& b) {
        return mpz_cmp(a.value_, b.value_) <=> 0;
    }
    // Failures show the value in hex, as the words of P read most easily.
    friend void PrintTo(const Mpz& a, std::ostream* os) {
        std::unique_ptr<char, void (*)(void*)> text(mpz_get_str(nullptr, 16, a.value_), std::free);
        *os << "0x" << text.get();
    }

private:
    template <auto Op, class B>
    static Mpz apply(const Mpz& a, const B& b) {
        Mpz out;
        if constexpr (std::is_same_v<B, Mpz>) Op(out.value_, a.value_, b.value_);
        else Op(out.value_, a.value_, b);
        return out;
    }

    mpz_t value_;
};

// P = k*2^n + 1.
inline Mpz candidate(uint64_t k, uint32_t n) { return (Mpz(k) << n) + 1; }

// 2^(2^(n-1)) mod (k*2^n + 1) as `count` words.
inline std::vector<uint32_t> gmpResidue(uint64_t k, uint32_t n, uint32_t count) {
    Mpz r;
    mpz_powm(r.get(), Mpz(2).get(), (Mpz(1) << (n - 1)).get(), candidate(k, n).get());
    std::vector<uint32_t> words(count);
    for (uint32_t i = 0; i < count; ++i) words[i] = static_cast<uint32_t>(r.limb(i, 32));
    return words;
}

// The test every kernel makes: k*2^n+1 passes exactly when this holds.
inline bool gmpIsFactor(uint64_t k, uint32_t n) {
    std::vector<uint32_t> r = gmpResidue(k, n, 24);
    return r[0] == 1 && std::all_of(r.begin() + 1, r.end(), [](uint32_t w) { return w == 0; });
}

// The checksum term of k at n as docs/checksum.md defines it, from GMP's
// residue, with its own MurmurHash3 finaliser: nothing shared with the
// kernels' arithmetic/residue_checksum.h.
inline uint64_t gmpChecksumTerm(uint64_t k, uint32_t n) {
    const std::vector<uint32_t> r = gmpResidue(k, n, 2);
    uint64_t z = (uint64_t{r[1]} << 32 | r[0]) ^ (k << 32 | k >> 32) ^ (uint64_t{n} * 0x9E3779B97F4A7C15ull);
    for (const uint64_t multiplier : {0xff51afd7ed558ccdull, 0xc4ceb9fe1a85ec53ull}) {
        z ^= z >> 33;
        z *= multiplier;
    }
    return z ^ (z >> 33);
}

// P = k*2^n + 1 with the Montgomery radix R = 2^rBits, to judge one step of
// a path's arithmetic.
struct MontgomeryOracle {
    MontgomeryOracle(uint64_t k, uint32_t n, uint32_t rBits) : p(candidate(k, n)), r(Mpz(1) << rBits) {
        mpz_invert(rInverse.get(), r.get(), p.get());
    }
    // x/R mod P.
    Mpz overR(const Mpz& x) const { return x * rInverse % p; }
    // got is congruent to expected modulo P and below bound; with bound = P
    // that makes it exactly the reduced value.
    void expect(const Mpz& got, const Mpz& expected, const Mpz& bound, const std::string& what) const {
        EXPECT_EQ(got % p, expected % p) << what;
        EXPECT_LT(got, bound) << what;
    }

    Mpz p, r, rInverse;
};

}  // namespace kalvenor::testing
