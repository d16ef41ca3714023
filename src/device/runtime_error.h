// What the program says when a runtime call fails that it cannot work
// around: the source location, the error number and the runtime's text on
// standard error. The caller then gives up and returns its failure upwards;
// the top of the program ends with exit code -1.
#pragma once

#include "device/runtime.h"

namespace kalvenor {

// Reports `code` when it is not 0; returns whether it was.
bool reportRuntimeFailure(const Runtime& runtime, int code, const char* file, int line);

}  // namespace kalvenor

#define KALVENOR_FAILED(runtime, call) ::kalvenor::reportRuntimeFailure((runtime), (call), __FILE__, __LINE__)
