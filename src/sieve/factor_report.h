// How a found factor reaches the user: a framed banner on the console and a
// time-stamped entry in factors.txt.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "arith/reference_powmod.h"
#include "workfiles/work_paths.h"

namespace kalvenor {

// "!!! Found factor k*2^n+1 !!!\n"
std::string factorMessage(uint64_t k, uint32_t n);
// What the console shows: "\n" frame "\n" message frame, where the frame is
// 78 characters: as many '*' as the message has visible characters, then spaces.
std::string factorBanner(uint64_t k, uint32_t n);

// "k*2^n+1 divides F28\n", or that it divides no single Fermat number: the
// line the console shows under the banner.
std::string fermatNumberLine(uint64_t k, uint32_t n);

// Prints the banner and the Fermat number it divides, and appends the entry
// to factors.txt. When the file cannot take it, the entry goes to standard
// error with what the run does next, and the result is false: the run must
// stop before its checkpoint moves past the factor, so that a new run finds
// it again.
bool reportFactor(uint64_t k, uint32_t n, const std::string& factorsPath = kFactorsPath);

// The factors of one launch, read from its result buffer. Up to three come
// from the records. When the device counted more than it had room for, the
// records are incomplete, so the whole batch is tested again on the host;
// the caller compares the count.
std::vector<uint64_t> factorsOfLaunch(const uint32_t* result, const uint64_t* batch, uint32_t count, uint32_t n,
                                      const std::function<bool(uint64_t k, uint32_t n)>& isFactor = &referenceTest);

}  // namespace kalvenor
