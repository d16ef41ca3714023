#include "driver/program.h"

#include <cstdio>

namespace kalvenor {

int runProgram(int, char**) {
    std::printf("Kalvenor_CUDA version 2.018\n");
    return 1;
}

}  // namespace kalvenor
