#include "device/cpu_info.h"

#include <sched.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace kalvenor {

namespace {

std::string_view trim(std::string_view s) {
    const auto first = s.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) return {};
    const auto last = s.find_last_not_of(" \t\r");
    return s.substr(first, last - first + 1);
}

// Collapses runs of blanks: some firmware pads the model name with spaces.
std::string squeezeBlanks(std::string_view s) {
    std::string out;
    bool blank = false;
    for (char c : s) {
        if (c == ' ' || c == '\t') {
            blank = true;
            continue;
        }
        if (blank && !out.empty()) out += ' ';
        blank = false;
        out += c;
    }
    return out;
}

}  // namespace

CpuInfo parseCpuInfo(std::string_view text) {
    CpuInfo info;
    // x86 says "model name"; other architectures use other keys, tried in turn.
    std::string model, fallback;
    bool haveClock = false;
    while (!text.empty()) {
        const auto eol = text.find('\n');
        std::string_view line = text.substr(0, eol);
        text = eol == std::string_view::npos ? std::string_view{} : text.substr(eol + 1);
        const auto colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        const std::string_view key = trim(line.substr(0, colon));
        const std::string_view value = trim(line.substr(colon + 1));
        if (value.empty()) continue;
        if (key == "model name" && model.empty()) {
            model = squeezeBlanks(value);
        } else if ((key == "Hardware" || key == "Processor" || key == "cpu model" ||
                    key == "uarch") && fallback.empty()) {
            fallback = squeezeBlanks(value);
        } else if (key == "cpu MHz" && !haveClock) {
            const std::string number(value);
            char* end = nullptr;
            const double mhz = std::strtod(number.c_str(), &end);
            if (end != number.c_str() && std::isfinite(mhz) && mhz > 0 && mhz < 1e6) {
                info.clockKHz = static_cast<int>(std::lround(mhz * 1000.0));
                haveClock = true;
            }
        }
    }
    if (!model.empty()) {
        info.modelName = model;
    } else if (!fallback.empty()) {
        info.modelName = fallback;
    } else {
        info.modelName = "unknown CPU";
    }
    return info;
}

unsigned hardwareThreads() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) == 0) {
        const int count = CPU_COUNT(&set);
        if (count > 0) return static_cast<unsigned>(count);
    }
    const unsigned reported = std::thread::hardware_concurrency();
    return reported > 0 ? reported : 1;
}

CpuInfo readCpuInfo() {
    std::ifstream file("/proc/cpuinfo");
    std::ostringstream text;
    if (file) text << file.rdbuf();
    CpuInfo info = parseCpuInfo(text.str());
    info.hardwareThreads = hardwareThreads();
    return info;
}

}  // namespace kalvenor
