// GMP as the independent judge of the kernel arithmetic.
#pragma once

#include <gmp.h>

#include <cstdint>
#include <random>
#include <vector>

namespace kalvenor::testing {

class Mpz {
public:
    Mpz() { mpz_init(value_); }
    explicit Mpz(uint64_t v) : Mpz() { setU64(v); }
    ~Mpz() { mpz_clear(value_); }
    Mpz(const Mpz&) = delete;
    Mpz& operator=(const Mpz&) = delete;

    mpz_ptr get() { return value_; }
    mpz_srcptr get() const { return value_; }

    void setU64(uint64_t v) {
        mpz_set_ui(value_, static_cast<unsigned long>(v >> 32));
        mpz_mul_2exp(value_, value_, 32);
        mpz_add_ui(value_, value_, static_cast<unsigned long>(v & 0xffffffffu));
    }
    void setWords(const uint32_t* words, size_t count) {
        mpz_import(value_, count, -1, sizeof(uint32_t), 0, 0, words);
    }
    // The value as `count` words, least significant first (it must fit).
    std::vector<uint32_t> words(size_t count) const {
        std::vector<uint32_t> out(count + mpz_sizeinbase(value_, 2) / 32 + 1, 0);
        size_t written = 0;
        mpz_export(out.data(), &written, -1, sizeof(uint32_t), 0, 0, value_);
        out.resize(count);
        return out;
    }

private:
    mpz_t value_;
};

// P = k*2^n + 1.
inline void setCandidate(Mpz& p, uint64_t k, uint32_t n) {
    p.setU64(k);
    mpz_mul_2exp(p.get(), p.get(), n);
    mpz_add_ui(p.get(), p.get(), 1);
}

// 2^(2^(n-1)) mod (k*2^n + 1) as `count` words.
inline std::vector<uint32_t> gmpResidue(uint64_t k, uint32_t n, size_t count) {
    Mpz p, e, two(2), r;
    setCandidate(p, k, n);
    mpz_setbit(e.get(), n - 1);
    mpz_powm(r.get(), two.get(), e.get(), p.get());
    return r.words(count);
}

inline bool gmpIsFactor(uint64_t k, uint32_t n) {
    const std::vector<uint32_t> r = gmpResidue(k, n, 24);
    if (r[0] != 1) return false;
    for (size_t i = 1; i < r.size(); ++i)
        if (r[i] != 0) return false;
    return true;
}

// A multiplier whose top set bit is b: 2^b plus random lower bits.
inline uint64_t multiplierWithTopBitIndex(uint32_t b, std::mt19937_64& random) {
    const uint64_t top = uint64_t{1} << b;
    return top | (random() & (top - 1));
}

}  // namespace kalvenor::testing
