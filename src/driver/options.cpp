#include "driver/options.h"

#include <cerrno>
#include <cstdlib>

namespace kalvenor {

namespace {

bool parseOrdinal(const std::string& text, int& ordinal) {
    if (text.empty() || text.size() > 4) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    ordinal = std::atoi(text.c_str());
    return true;
}

}  // namespace

Options parseOptions(const std::vector<std::string>& arguments) {
    Options options;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "--help" || argument == "-h") {
            options.help = true;
        } else if (argument == "--version") {
            options.version = true;
        } else if (argument == "--selftest") {
            options.selftest = true;
        } else if (argument == "--device" || argument.rfind("--device=", 0) == 0) {
            std::string value;
            if (argument == "--device") {
                if (i + 1 == arguments.size()) {
                    options.error = "option '--device' needs a value (a CUDA device number or 'cpu')";
                    return options;
                }
                value = arguments[++i];
            } else {
                value = argument.substr(9);
            }
            if (value == "cpu") {
                options.forceHost = true;
            } else if (!parseOrdinal(value, options.deviceOrdinal)) {
                options.error = "bad value '" + value + "' for option '--device' (a CUDA device number or 'cpu')";
                return options;
            }
        } else {
            options.error = "unknown option '" + argument + "'";
            return options;
        }
    }
    return options;
}

std::string usageText() {
    return "Usage: kalvenor [--device N|cpu] [--selftest] [--help] [--version]\n"
           "\n"
           "Searches for factors k*2^n+1 of Fermat numbers. Without options it works through\n"
           "worktodo.txt in the current directory, line by line, until the file is empty.\n"
           "\n"
           "Options:\n"
           "  --device N     use CUDA device N instead of device 0\n"
           "  --device cpu   run the kernels on all CPU cores even where a GPU is usable\n"
           "  --selftest     check every kernel on the chosen device against known factors and\n"
           "                 the host reference; reads and writes no work file\n"
           "  --help         show this text\n"
           "  --version      show the program and CUDA versions\n"
           "\n"
           "Files (in the current directory):\n"
           "  worktodo.txt   assignments, one per line: FermatFactor=nStart,nEnd,kStart,kEnd\n"
           "                 with 32 <= nStart <= nEnd <= 607 and 2 <= kStart <= kEnd < 2^64\n"
           "  results.txt    log of ranges and per-exponent summaries (appended)\n"
           "  factors.txt    every factor found, with its time stamp (appended)\n"
           "  kalvenor.cpt   checkpoint of the running line, rewritten at most once a minute\n"
           "\n"
           "Exit codes:\n"
           "  0    --help, --version, or a passing --selftest\n"
           "  1    no assignment, no worktodo.txt, no kernel for the line, a refused device,\n"
           "       no memory, or a failing --selftest\n"
           "  2    a bad command line\n"
           "  6    the last assignment was completed\n"
           "  7    worktodo.txt could not be rewritten (the old file is kept)\n"
           "  255  an obsolete checkpoint could not be deleted, or a GPU runtime call failed\n";
}

}  // namespace kalvenor
