// The check applied after a runtime call whose failure the program cannot
// survive: the source location, the error number and the runtime's text on
// standard error, then exit code -1.
#pragma once

#include "kernels/runtime.h"

namespace kalvenor {

void checkRuntime(const Runtime& runtime, int code, const char* file, int line);

}  // namespace kalvenor

#define KALVENOR_CHECK(runtime, call) ::kalvenor::checkRuntime((runtime), (call), __FILE__, __LINE__)
