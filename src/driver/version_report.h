// What --version prints.
#pragma once

#include <string>

namespace kalvenor {

// The version, the commit built from, the CUDA toolkit and GPU architectures
// compiled in (or that there are none) and the CPU path the kernels take
// here. scripts/slurm-array.sh looks for a line starting "built for CUDA".
std::string versionReport();

}  // namespace kalvenor
