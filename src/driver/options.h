// The command line. With no arguments the program runs worktodo.txt in the
// current directory; the options only add to that.
#pragma once

#include <string>
#include <vector>

namespace kalvenor {

struct Options {
    bool help = false;
    bool version = false;
    bool selftest = false;
    bool forceHost = false;     // --device cpu
    int deviceOrdinal = 0;      // --device N
    bool deviceChosen = false;  // --device N given: that device or none
    std::string error;       // set when the command line cannot be used
};

Options parseOptions(const std::vector<std::string>& arguments);

std::string usageText();

}  // namespace kalvenor
