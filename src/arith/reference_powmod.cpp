#include "arith/reference_powmod.h"

#include <array>
#include <cstddef>
#include <optional>

namespace kalvenor {
namespace {

// Every n a kernel serves (up to 607) with any 64-bit k, and some room above.
constexpr uint32_t kMaxExponent = 640;
constexpr int kMaxWords = (kMaxExponent + 64) / 32 + 1;

// P shifted left until the top bit of its top word is set, so that the top
// word alone estimates a quotient digit to within a few units.
struct Divisor {
    std::array<uint32_t, kMaxWords> words{};
    int size = 0;
    int shift = 0;
};

// Scratch for a dividend of up to 2*kMaxWords words, shifted, with room above.
using Dividend = std::array<uint32_t, 2 * kMaxWords + 2>;

Divisor divisorOf(const std::array<uint32_t, kMaxWords>& p, int size) {
    Divisor d;
    d.size = size;
    d.shift = __builtin_clz(p[size - 1]);
    uint32_t below = 0;
    for (int i = 0; i < size; ++i) {
        const uint64_t shifted = (uint64_t{p[i]} << d.shift) | below;
        d.words[i] = static_cast<uint32_t>(shifted);
        below = d.shift == 0 ? 0 : p[i] >> (32 - d.shift);
    }
    return d;
}

bool windowBelow(const uint32_t* window, const Divisor& d) {
    if (window[d.size] != 0) return false;
    for (int i = d.size - 1; i >= 0; --i) {
        if (window[i] != d.words[i]) return window[i] < d.words[i];
    }
    return false;  // equal
}

// out = number mod P, for a number of `size` >= d.size words; out has d.size words.
//
// Schoolbook long division, one 32-bit quotient digit per step, keeping only
// the remainder. Each digit is estimated from the top two words of the
// window divided by (top word of the divisor + 1), which never overshoots,
// and the estimate is then raised by subtracting the divisor while the window
// is still at least the divisor: no negative intermediate, no add-back.
void reduce(const uint32_t* number, int size, const Divisor& d, uint32_t* out) {
    Dividend r{};
    uint32_t below = 0;
    for (int i = 0; i < size; ++i) {
        r[i] = static_cast<uint32_t>((uint64_t{number[i]} << d.shift) | below);
        below = d.shift == 0 ? 0 : number[i] >> (32 - d.shift);
    }
    r[size] = below;  // and r[size + 1] = 0, so the top window is below d * 2^32

    const uint64_t divisorTop = uint64_t{d.words[d.size - 1]} + 1;
    for (int j = size + 1 - d.size; j >= 0; --j) {
        uint32_t* window = r.data() + j;  // d.size + 1 words
        const uint64_t top = (uint64_t{window[d.size]} << 32) | window[d.size - 1];
        const uint64_t digit = top / divisorTop;
        if (digit != 0) {
            uint64_t carry = 0;
            uint32_t borrow = 0;
            for (int i = 0; i < d.size; ++i) {
                const uint64_t product = digit * d.words[i] + carry;
                carry = product >> 32;
                const uint64_t difference = uint64_t{window[i]} - static_cast<uint32_t>(product) - borrow;
                window[i] = static_cast<uint32_t>(difference);
                borrow = static_cast<uint32_t>(difference >> 63);
            }
            window[d.size] = static_cast<uint32_t>(window[d.size] - carry - borrow);
        }
        while (!windowBelow(window, d)) {
            uint32_t borrow = 0;
            for (int i = 0; i < d.size; ++i) {
                const uint64_t difference = uint64_t{window[i]} - d.words[i] - borrow;
                window[i] = static_cast<uint32_t>(difference);
                borrow = static_cast<uint32_t>(difference >> 63);
            }
            window[d.size] -= borrow;
        }
    }
    for (int i = 0; i < d.size; ++i) {
        const uint32_t above = d.shift == 0 ? 0 : r[i + 1] << (32 - d.shift);
        out[i] = (r[i] >> d.shift) | above;
    }
}

void squareInto(const uint32_t* v, int size, uint32_t* product) {
    for (int i = 0; i < 2 * size; ++i) product[i] = 0;
    for (int i = 0; i < size; ++i) {
        uint64_t carry = 0;
        for (int j = 0; j < size; ++j) {
            const uint64_t sum = uint64_t{v[i]} * v[j] + product[i + j] + carry;
            product[i + j] = static_cast<uint32_t>(sum);
            carry = sum >> 32;
        }
        product[i + size] = static_cast<uint32_t>(carry);
    }
}

// P = k*2^n + 1 and the successive squares of 2 modulo P: value(m) is
// 2^(2^m) mod P, from m = 0 up.
class SquaringWalk {
public:
    SquaringWalk(uint64_t k, uint32_t n) {
        // P = k*2^n + 1, word by word.
        const uint32_t word = n / 32;
        const uint32_t bit = n % 32;
        p_[word] = static_cast<uint32_t>(k << bit);
        p_[word + 1] = bit == 0 ? static_cast<uint32_t>(k >> 32) : static_cast<uint32_t>(k >> (32 - bit));
        p_[word + 2] = bit == 0 ? 0 : static_cast<uint32_t>(k >> (64 - bit));
        for (int i = 0; i < kMaxWords; ++i) {
            if (++p_[i] != 0) break;
        }
        size_ = kMaxWords;
        while (p_[size_ - 1] == 0) --size_;
        d_ = divisorOf(p_, size_);
        product_[0] = 2;
        reduce(product_.data(), size_, d_, v_.data());  // 2 mod P
    }
    void square() {
        squareInto(v_.data(), size_, product_.data());
        reduce(product_.data(), 2 * size_, d_, v_.data());
    }
    std::vector<uint32_t> value() const { return std::vector<uint32_t>(v_.begin(), v_.begin() + size_); }
    bool isOne() const {
        for (int i = 0; i < size_; ++i)
            if (v_[i] != (i == 0 ? 1u : 0u)) return false;
        return true;
    }
    bool isMinusOne() const {  // P - 1 = k*2^n: P's words with the low word one less
        for (int i = 0; i < size_; ++i)
            if (v_[i] != (i == 0 ? p_[0] - 1 : p_[i])) return false;
        return true;
    }

private:
    std::array<uint32_t, kMaxWords> p_{};
    int size_ = 0;
    Divisor d_;
    std::array<uint32_t, 2 * kMaxWords> product_{};
    std::array<uint32_t, kMaxWords> v_{};
};

}  // namespace

std::vector<uint32_t> referenceResidue(uint64_t k, uint32_t n) {
    if (n > kMaxExponent || n == 0) return {};
    if (k == 0) return {0};  // P = 1
    SquaringWalk walk(k, n);
    for (uint32_t i = 1; i < n; ++i) walk.square();
    return walk.value();
}

std::optional<uint32_t> fermatIndexOf(uint64_t k, uint32_t n) {
    if (n > kMaxExponent || n == 0 || k == 0 || k % 2 == 0) return std::nullopt;
    // The order of 2 is 2^(m+1) where 2^(2^m) first squares to 1; for a prime
    // P that 2^(2^m) is -1, for a composite it may be another root of 1.
    SquaringWalk walk(k, n);
    for (uint32_t m = 0; m + 1 < n; ++m) {
        const bool minusOne = walk.isMinusOne();
        walk.square();
        if (walk.isOne()) return minusOne ? std::optional<uint32_t>(m) : std::nullopt;
    }
    return std::nullopt;
}

bool referenceTest(uint64_t k, uint32_t n) {
    const std::vector<uint32_t> v = referenceResidue(k, n);
    if (v.empty() || v[0] != 1) return false;
    for (std::size_t i = 1; i < v.size(); ++i) {
        if (v[i] != 0) return false;
    }
    return true;
}

}  // namespace kalvenor
