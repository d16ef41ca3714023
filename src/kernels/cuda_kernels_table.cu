// The launch entries of the GPU kernels, by their index in kKernels; the
// same list makes both, so an entry cannot sit at another kernel's index.
#include "kernels/cuda_kernels.h"
#include "kernels/kernel_table.h"

KALVENOR_KERNELS(KALVENOR_DECLARE_CUDA_KERNEL)

namespace kalvenor {
namespace {

#define KALVENOR_KERNEL_ENTRY(name, q, w) reinterpret_cast<const void*>(&::name),
const void* const kEntries[] = {KALVENOR_KERNELS(KALVENOR_KERNEL_ENTRY)};
#undef KALVENOR_KERNEL_ENTRY
static_assert(sizeof(kEntries) / sizeof(kEntries[0]) == kKernelCount);

}  // namespace

const void* cudaKernelEntry(int index) {
    if (index < 0 || index >= kKernelCount) return nullptr;
    return kEntries[index];
}

}  // namespace kalvenor
