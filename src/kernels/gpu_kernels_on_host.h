// The GPU kernels' own code, compiled for the host: kernel_slot.h over the
// narrow-limb template, one slot after the other as the GPU's threads would
// take them. The emulated GPU runs these, not the host paths, so what it
// checks is the arithmetic a GPU runs.
#pragma once

#include "kernels/host_kernels.h"

namespace kalvenor {

// Slots [begin, end) of a launch of kKernels[index]; null for an invalid index.
HostKernelFn gpuKernelOnHost(int index);

}  // namespace kalvenor
