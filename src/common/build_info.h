// What a build was made from, filled in when CMake configures it
// (build_info.cpp.in), so that --version can name it.
#pragma once

namespace kalvenor {

// The git commit of the source tree, with "-dirty" when it had changes that
// were not committed; "unknown" for a tree without git (a source archive).
const char* buildCommit();

// The GPU architectures compiled in, e.g. "sm_75 sm_80 + PTX compute_120";
// empty without CUDA.
const char* builtCudaArchitectures();

}  // namespace kalvenor
