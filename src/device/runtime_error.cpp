#include "device/runtime_error.h"

#include <cstdio>

namespace kalvenor {

bool reportRuntimeFailure(const Runtime& runtime, int code, const char* file, int line) {
    if (code == 0) return false;
    std::fflush(stdout);
    std::fprintf(stderr, "%s(%i) : CUDA Runtime API error %d: %s.\n", file, line, code,
                 runtime.errorText(code).c_str());
    return true;
}

}  // namespace kalvenor
