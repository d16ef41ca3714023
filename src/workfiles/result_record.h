// results.jsonl: one JSON object per line the run finished, for collecting
// by program. Its bytes follow from the line and the sieve depth alone: no
// time, host, device, program version, nor whether the GPU or the host
// sieved (both strike the same candidates at one depth). So two machines that
// ran the same line at the same depth write the same record, whatever build
// they ran, and a byte-for-byte compare validates them; the console says
// which version and sieve ran.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "workfiles/assignment_line.h"
#include "workfiles/run_state.h"

namespace kalvenor {

// The sieve a line ran with: the kind (for the caller's log; the record
// leaves it out) and the count of primes.
struct SieveUsed {
    bool onDevice = false;
    uint32_t primeCount = 0;
};

// The record of a finished line, newline included:
// {"line":"FermatFactor=36,36,3,1001","sievePrimes":1000,
//  "exponents":[{"n":36,"tested":123,"checksum":"0f3c9a6b21d4e587"}],
//  "factors":[{"factor":"25709319373*2^36+1","m":28}],"status":"complete"}
// with the factors ordered by n, then k, each with the m of the Fermat
// number F_m it divides (null for a composite of factors of several). A
// checksum part of whose exponent ran under a version that kept none is null.
std::string completeRecord(const RunState& state, const SieveUsed& sieve);

// The record of a part of a line that no kernel serves, which the run drops.
std::string noKernelRecord(const Assignment& part);

// The record of a line the run refused and removed: its text as it stood
// (without the newline) and why, e.g.
// {"line":"FermatFactor=36,36,3,1000000000x","exponents":[],"factors":[],
//  "status":"refused","reason":"The line goes on after the ending value for k (kEnd)."}
std::string refusedRecord(std::string_view line, std::string_view reason);

// Appends `record` (one or more lines) to `path` unless the file already
// ends with it: a run killed between the record and the removal of its line
// writes it once. A last line without its newline gets one first.
bool appendRecord(const std::string& path, const std::string& record);

}  // namespace kalvenor
