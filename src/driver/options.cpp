#include "driver/options.h"

#include <algorithm>

namespace kalvenor {

namespace {

// Plain decimal digits, at most `most`.
template <class Number>
bool parseDecimal(const std::string& text, int64_t most, Number& number) {
    if (text.empty() || text.size() > 10) return false;
    int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    if (value > most) return false;
    number = static_cast<Number>(value);
    return true;
}

}  // namespace

// More units than a project hands out in a year of work would only be a typo.
constexpr int64_t kMostUnits = 1000000;

// The most odd primes below 2^32.
constexpr int64_t kMostSievePrimes = 203280220;

Options parseOptions(const std::vector<std::string>& arguments) {
    Options options;
    const char* action = nullptr;  // --help, --version or --selftest: one at most
    std::vector<std::string> given;  // options with a value, each allowed once
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        const bool isAction = argument == "--help" || argument == "-h" || argument == "--version" ||
                              argument == "--selftest" || argument == "--cut";
        if (isAction && action != nullptr && argument != action) {
            options.error = "options '" + std::string(action) + "' and '" + argument + "' cannot be used together";
            return options;
        }
        if (isAction) action = argument.c_str();
        if (argument == "--help" || argument == "-h") {
            options.help = true;
            continue;
        }
        if (argument == "--version") {
            options.version = true;
            continue;
        }
        if (argument == "--selftest") {
            options.selftest = true;
            continue;
        }
        if (argument == "--quiet") {
            options.quiet = true;
            continue;
        }
        if (argument == "--costs") {
            options.cutCosts = true;
            continue;
        }
        if (argument == "--cut") {
            if (i + 2 >= arguments.size()) {
                options.error = "option '--cut' needs a unit count and an assignment line";
                return options;
            }
            options.cut = true;
            options.cutLine = arguments[i + 2];
            if (!parseDecimal(arguments[i + 1], kMostUnits, options.cutCount) || options.cutCount == 0) {
                options.error = "bad unit count '" + arguments[i + 1] + "' for option '--cut' (1 to " +
                                std::to_string(kMostUnits) + ")";
                return options;
            }
            i += 2;
            continue;
        }
        // The options with a value, as "--name value" or "--name=value".
        struct Valued {
            const char* name;
            const char* values;  // for the messages
        };
        static constexpr Valued kValued[] = {{"--device", "a CUDA device number or 'cpu'"},
                                             {"--sieve", "'gpu' or 'host'"},
                                             {"--sieve-primes", "a count of primes from 0 to 203280220"}};
        const Valued* option = nullptr;
        std::string value;
        for (const Valued& v : kValued) {
            const std::string name = v.name;
            if (argument == name || argument.rfind(name + "=", 0) == 0) option = &v;
        }
        if (option == nullptr) {
            options.error = "unknown option '" + argument + "'";
            return options;
        }
        const std::string name = option->name;
        if (std::find(given.begin(), given.end(), name) != given.end()) {
            options.error = "option '" + name + "' given twice";
            return options;
        }
        given.push_back(name);
        if (argument == name) {
            if (i + 1 == arguments.size()) {
                options.error = "option '" + name + "' needs a value (" + option->values + ")";
                return options;
            }
            value = arguments[++i];
        } else {
            value = argument.substr(name.size() + 1);
        }
        bool good = true;
        if (name == "--device") {
            options.forceHost = value == "cpu";
            options.deviceChosen = !options.forceHost && (good = parseDecimal(value, 9999, options.deviceOrdinal));
        } else if (name == "--sieve") {
            good = value == "gpu" || value == "host";
            options.sieve = value == "gpu" ? SieveChoice::Gpu : SieveChoice::Host;
        } else {
            good = parseDecimal(value, kMostSievePrimes, options.sievePrimes);
        }
        if (!good) {
            options.error = "bad value '" + value + "' for option '" + name + "' (" + option->values + ")";
            return options;
        }
    }
    if (options.cutCosts && !options.cut) options.error = "option '--costs' goes with '--cut'";
    return options;
}

std::string usageText() {
    return "Usage: kalvenor [--device N|cpu] [--sieve gpu|host] [--sieve-primes N] [--quiet]\n"
           "                [--selftest | --cut N LINE [--costs] | --help | --version]\n"
           "\n"
           "Searches for factors k*2^n+1 of Fermat numbers. Without options it works through\n"
           "worktodo.txt in the current directory, line by line, until the file is empty.\n"
           "\n"
           "Options:\n"
           "  --device N     use CUDA device N instead of device 0, and no other: stop\n"
           "                 (exit code 3) when it cannot be used\n"
           "  --device cpu   run the kernels on all CPU cores even where a GPU is usable\n"
           "  --sieve gpu    sieve on the device, next to the kernels (the default on a GPU;\n"
           "                 with --device cpu it runs the GPU sieve's code on the host)\n"
           "  --sieve host   sieve on the CPU and send the survivors to the device (the\n"
           "                 default with --device cpu)\n"
           "  --sieve-primes N  sieve with the first N odd primes instead of the depth\n"
           "                 chosen for the kernel\n"
           "  --selftest     check every kernel on the chosen device against known factors and\n"
           "                 the host reference, and the GPU sieve against the host sieve;\n"
           "                 reads and writes no work file\n"
           "  --quiet        no live progress line on a terminal (elsewhere there is none)\n"
           "  --cut N LINE   print the assignment LINE cut into at least N lines of about\n"
           "                 equal cost, one kernel each, for N machines; parts no kernel\n"
           "                 serves are named on standard error; reads and writes no file\n"
           "  --costs        with --cut: each unit followed by its estimated cost (multiply-adds\n"
           "                 of its tests before the sieve) and the host sieve's depth for it\n"
           "  --help         show this text\n"
           "  --version      show the version, the commit and CUDA toolkit it was built\n"
           "                 from, the GPU architectures compiled in and the CPU path here\n"
           "(--selftest, --cut, --help and --version exclude each other.)\n"
           "\n"
           "Ctrl-C, SIGTERM or SIGHUP finish the batch in flight, save the checkpoint and stop\n"
           "(exit code 128 + the signal); a second one stops at once, but a SIGTERM or SIGHUP\n"
           "repeated within 2 s is the same request (a scheduler's stop may arrive twice).\n"
           "\n"
           "On the CPU the kernels take the fastest path the processor has (AVX-512 IFMA,\n"
           "AVX2 or 64-bit limbs), which the start-up block names. For measuring, the\n"
           "environment variable KALVENOR_HOST_PATH=ifma52|avx2|w64 picks another it has.\n"
           "For developers and tests, KALVENOR_EMULATE_GPU=t4|a100|rtx4090|h100|b200 makes the\n"
           "host device stand in for that GPU: its launch plan and GPU sieve, the GPU\n"
           "kernels' own code, CUDA's limits and ordering rules (far slower than a GPU).\n"
           "\n"
           "Files (in the current directory):\n"
           "  worktodo.txt   assignments, one per line: FermatFactor=nStart,nEnd,kStart,kEnd\n"
           "                 with 32 <= nStart <= nEnd <= 607 and 2 <= kStart <= kEnd < 2^64\n"
           "  results.txt    log of ranges and per-exponent summaries (appended)\n"
           "  factors.txt    every factor found, with its time stamp (appended)\n"
           "  kalvenor.cpt   checkpoint of the running line, rewritten at most once a minute\n"
           "  kalvenor-*.cpt checkpoint of a line further down, kept while lines above it run\n"
           "  results.jsonl  one record per finished line, the same bytes on every machine\n"
           "                 that runs the line with the same sieve (appended)\n"
           "  kalvenor.lock  held while a run works here, so a second one does not start\n"
           "\n"
           "Exit codes:\n"
           "  0    --help, --version, --cut, or a passing --selftest\n"
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
           "  10   the device computed a wrong residue or reported a false factor (run\n"
           "       --selftest before trusting it again)\n"
           "  128+ stopped by a signal (130 Ctrl-C, 143 SIGTERM, 129 SIGHUP)\n"
           "  255  an obsolete checkpoint could not be deleted, or a GPU runtime call failed\n"
           "Built for BOINC, a run ends through the client library: 6 is success (0) only\n"
           "with the records in results.jsonl, and a line that cannot run fails the unit\n"
           "(1) instead of being dropped; under a client, 3, 255 and a stop by signal are\n"
           "temporary exits that continue from the checkpoint, any other code a task error.\n";
}

}  // namespace kalvenor
