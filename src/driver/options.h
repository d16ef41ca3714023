// The command line. With no arguments the program runs worktodo.txt in the
// current directory; the options only add to that.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kalvenor {

// Which sieve runs: the device's (GPU) or the host's; by default the
// device's on a CUDA device and the host's on the host-emulated device.
enum class SieveChoice { Default, Gpu, Host };

struct Options {
    bool help = false;
    bool version = false;
    bool selftest = false;
    bool cut = false;           // --cut N LINE: print LINE as work units and stop
    uint32_t cutCount = 0;
    std::string cutLine;
    bool cutCosts = false;      // --costs with --cut: each unit's cost and host sieve depth beside it
    bool quiet = false;         // --quiet: no live progress line on a terminal
    bool forceHost = false;     // --device cpu
    int deviceOrdinal = 0;      // --device N
    bool deviceChosen = false;  // --device N given: that device or none
    SieveChoice sieve = SieveChoice::Default;
    int64_t sievePrimes = -1;   // --sieve-primes N, or -1 for the depth the launch table gives
    std::string error;       // set when the command line cannot be used
};

Options parseOptions(const std::vector<std::string>& arguments);

std::string usageText();

}  // namespace kalvenor
