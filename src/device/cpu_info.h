// What the host-emulated device reports about itself: the processor's name,
// its clock and how many hardware threads this process may use.
#pragma once

#include <string>
#include <string_view>

namespace kalvenor {

struct CpuInfo {
    std::string modelName;     // "unknown CPU" when the system does not say
    int clockKHz = 0;          // 0 when the system does not say
    unsigned hardwareThreads = 1;
};

// Reads /proc/cpuinfo and the process's CPU affinity.
CpuInfo readCpuInfo();

// The name and clock from the text of /proc/cpuinfo; hardwareThreads is left at 1.
CpuInfo parseCpuInfo(std::string_view text);

// Hardware threads this process may run on (its affinity mask, which
// containers and taskset narrow), at least 1.
unsigned hardwareThreads();

}  // namespace kalvenor
