#include "kernels/check_status.h"

#include <cstdio>
#include <cstdlib>

namespace kalvenor {

void checkRuntime(const Runtime& runtime, int code, const char* file, int line) {
    if (code == 0) return;
    std::fflush(stdout);
    std::fprintf(stderr, "%s(%i) : CUDA Runtime API error %d: %s.\n", file, line, code,
                 runtime.errorText(code).c_str());
    std::exit(-1);
}

}  // namespace kalvenor
