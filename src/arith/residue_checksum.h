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

inline constexpr uint64_t kChecksumExponentFactor = 0x9E3779B97F4A7C15ull;

// MurmurHash3's 64-bit finaliser.
KALVENOR_HD uint64_t fmix64(uint64_t z) {
    z ^= z >> 33;
    z *= 0xff51afd7ed558ccdull;
    z ^= z >> 33;
    z *= 0xc4ceb9fe1a85ec53ull;
    z ^= z >> 33;
    return z;
}

KALVENOR_HD uint64_t checksumTerm(uint64_t k, uint32_t n, uint64_t r64) {
    const uint64_t rotated = (k << 32) | (k >> 32);
    return fmix64(r64 ^ rotated ^ (uint64_t{n} * kChecksumExponentFactor));
}

}  // namespace kalvenor
