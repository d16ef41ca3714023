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
    const char* action = nullptr;  // --help, --version or --selftest: one at most
    bool device = false;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        const bool isAction = argument == "--help" || argument == "-h" || argument == "--version" || argument == "--selftest";
        if (isAction && action != nullptr && argument != action) {
            options.error = "options '" + std::string(action) + "' and '" + argument + "' cannot be used together";
            return options;
        }
        if (isAction) action = argument.c_str();
        if (argument == "--help" || argument == "-h") {
            options.help = true;
        } else if (argument == "--version") {
            options.version = true;
        } else if (argument == "--selftest") {
            options.selftest = true;
        } else if (argument == "--device" || argument.rfind("--device=", 0) == 0) {
            if (device) {
                options.error = "option '--device' given twice";
                return options;
            }
            device = true;
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
            } else if (parseOrdinal(value, options.deviceOrdinal)) {
                options.deviceChosen = true;
            } else {
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
    return "Usage: kalvenor [--device N|cpu] [--selftest | --help | --version]\n"
           "\n"
           "Searches for factors k*2^n+1 of Fermat numbers. Without options it works through\n"
           "worktodo.txt in the current directory, line by line, until the file is empty.\n"
           "\n"
           "Options:\n"
           "  --device N     use CUDA device N instead of device 0, and no other: stop\n"
           "                 (exit code 3) when it cannot be used\n"
           "  --device cpu   run the kernels on all CPU cores even where a GPU is usable\n"
           "  --selftest     check every kernel on the chosen device against known factors and\n"
           "                 the host reference; reads and writes no work file\n"
           "  --help         show this text\n"
           "  --version      show the program and CUDA versions\n"
           "(--selftest, --help and --version exclude each other.)\n"
           "\n"
           "Ctrl-C, SIGTERM or SIGHUP finish the batch in flight, save the checkpoint and stop\n"
           "(exit code 128 + the signal); a second one stops at once.\n"
           "\n"
           "Files (in the current directory):\n"
           "  worktodo.txt   assignments, one per line: FermatFactor=nStart,nEnd,kStart,kEnd\n"
           "                 with 32 <= nStart <= nEnd <= 607 and 2 <= kStart <= kEnd < 2^64\n"
           "  results.txt    log of ranges and per-exponent summaries (appended)\n"
           "  factors.txt    every factor found, with its time stamp (appended)\n"
           "  kalvenor.cpt   checkpoint of the running line, rewritten at most once a minute\n"
           "  kalvenor.lock  held while a run works here, so a second one does not start\n"
           "\n"
           "Exit codes:\n"
           "  0    --help, --version, or a passing --selftest\n"
           "  1    no assignment, no usable worktodo.txt, an unreadable kalvenor.cpt, a refused\n"
           "       device, no memory, or a failing --selftest\n"
           "  2    a bad command line\n"
           "  3    the CUDA device of --device N cannot be used\n"
           "  6    the last assignment was completed\n"
           "  7    a work file cannot be written: worktodo.txt could not be rewritten (the old\n"
           "       file is kept), or the directory does not take the files a run writes\n"
           "  8    a factor could not be written to factors.txt (it is on standard error,\n"
           "       and a new run finds it again)\n"
           "  9    another kalvenor works in this directory\n"
           "  128+ stopped by a signal (130 Ctrl-C, 143 SIGTERM, 129 SIGHUP)\n"
           "  255  an obsolete checkpoint could not be deleted, or a GPU runtime call failed\n";
}

}  // namespace kalvenor
