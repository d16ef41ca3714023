#include "driver/version_report.h"

#include "common/build_info.h"
#include "common/version.h"
#include "device/runtime.h"
#include "kernels/host_kernels.h"

namespace kalvenor {

std::string versionReport() {
    std::string text = std::string("Kalvenor_CUDA version ") + kVersionText + "\n";
    text += std::string("commit ") + buildCommit() + "\n";
    if (const int compiled = compiledCudaVersion(); compiled == 0)
        text += "built without CUDA (kernels run on the host CPU)\n";
    else
        text += "built for CUDA " + std::to_string(compiled / 1000) + "." + std::to_string(compiled % 1000 / 10) +
                ": " + builtCudaArchitectures() + "\n";
    // Where no GPU is used; the same choice the start-up block names.
    text += std::string("host path ") + hostKernelPath() + "\n";
    return text;
}

}  // namespace kalvenor
