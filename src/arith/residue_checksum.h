// The checksum of an exponent's residues: what only the full computation of
// every candidate can produce, so two machines agree on it only where their
// arithmetic agreed on every candidate. docs/checksum.md defines it for
// anyone who recomputes it; this is that definition, for the GPU and the host.
//
// For a tested k with residue r = 2^(2^(n-1)) mod P, fully reduced, and r64
// = r mod 2^64, all arithmetic modulo 2^64:
//   z = r64 ^ rotl64(k, 32) ^ (n * 0x9E3779B97F4A7C15)
//   term = fmix64(z)
// and the checksum of n is the sum of the terms of every tested k. A sum
// does not depend on order, so batches, threads, rings and restarts leave
// it alone; only the set of candidates (the sieve and its depth) and their
// residues move it.
#pragma once

#include <cstdint>

#include "arith/carry_chain.h"

namespace kalvenor {

// Always inlined on the host: in the vector paths' functions it then
// compiles with their instructions.
#if defined(__CUDACC__)
#define KALVENOR_CHECKSUM_INLINE KALVENOR_HD
#else
#define KALVENOR_CHECKSUM_INLINE inline __attribute__((always_inline))
#endif

inline constexpr uint64_t kChecksumExponentFactor = 0x9E3779B97F4A7C15ull;
inline constexpr uint64_t kFmixFirst = 0xff51afd7ed558ccdull, kFmixSecond = 0xc4ceb9fe1a85ec53ull;

// MurmurHash3's 64-bit finaliser, in place, on a 64-bit integer or, in the
// host's vector paths, a vector of them (GCC's vector extensions; passed by
// reference, as a vector in a register would change the call's ABI).
template <typename Lanes>
KALVENOR_CHECKSUM_INLINE void fmix64InPlace(Lanes& z) {
    z ^= z >> 33;
    z *= kFmixFirst;
    z ^= z >> 33;
    z *= kFmixSecond;
    z ^= z >> 33;
}

// z, the low 64 bits of k's residue at n, becomes k's term (lane by lane).
template <typename Lanes>
KALVENOR_CHECKSUM_INLINE void checksumTermInPlace(Lanes& z, const Lanes& k, uint32_t n) {
    z ^= (k << 32) | (k >> 32);
    z ^= uint64_t{n} * kChecksumExponentFactor;
    fmix64InPlace(z);
}

KALVENOR_HD uint64_t fmix64(uint64_t z) {
    fmix64InPlace(z);
    return z;
}

KALVENOR_HD uint64_t checksumTerm(uint64_t k, uint32_t n, uint64_t r64) {
    checksumTermInPlace(r64, k, n);
    return r64;
}

}  // namespace kalvenor
