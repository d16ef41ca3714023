// The launch entries of the 35 GPU kernels, by their index in kKernels.
#include "kernels/cuda_kernels.h"

#include <cstdint>

#include "kernels/cuda_kernel_list.h"
#include "kernels/kernel_table.h"

KALVENOR_CUDA_KERNELS(KALVENOR_DECLARE_CUDA_KERNEL)

namespace kalvenor {
namespace {

struct ListedKernel {
    const char* name;
    uint32_t q;
    uint32_t w;
};

#define KALVENOR_LISTED_KERNEL(name, q, w) ListedKernel{#name, q, w},
constexpr ListedKernel kListed[] = {KALVENOR_CUDA_KERNELS(KALVENOR_LISTED_KERNEL)};
#undef KALVENOR_LISTED_KERNEL

constexpr bool sameText(const char* a, const char* b) {
    while (*a != '\0' && *a == *b) ++a, ++b;
    return *a == *b;
}

// Writes value in decimal at out; returns the end.
constexpr char* writeNumber(char* out, uint32_t value) {
    char digits[12] = {};
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (count > 0) *out++ = digits[--count];
    return out;
}

// The list must agree with kKernels: every entry at the index of its (q, w)
// and named kalvenor<32w>bit_n<32q>_<32q+31>, since the launch entry is found
// by index and the printed name comes from kKernels.
constexpr bool listMatchesTable() {
    if (sizeof(kListed) / sizeof(kListed[0]) != static_cast<size_t>(kKernelCount)) return false;
    for (int i = 0; i < kKernelCount; ++i) {
        const ListedKernel& k = kListed[i];
        if (kernelIndexOf(k.q, k.w) != i) return false;
        char name[40] = {};
        char* at = name;
        for (const char* p = "kalvenor"; *p != '\0'; ++p) *at++ = *p;
        at = writeNumber(at, 32 * k.w);
        for (const char* p = "bit_n"; *p != '\0'; ++p) *at++ = *p;
        at = writeNumber(at, 32 * k.q);
        *at++ = '_';
        writeNumber(at, 32 * k.q + 31);
        if (!sameText(name, k.name)) return false;
    }
    return true;
}
static_assert(listMatchesTable(), "the GPU kernel list must follow kKernels");

#define KALVENOR_KERNEL_ENTRY(name, q, w) reinterpret_cast<const void*>(&::name),
const void* const kEntries[] = {KALVENOR_CUDA_KERNELS(KALVENOR_KERNEL_ENTRY)};
#undef KALVENOR_KERNEL_ENTRY

}  // namespace

const void* cudaKernelEntry(int index) {
    if (index < 0 || index >= kKernelCount) return nullptr;
    return kEntries[index];
}

}  // namespace kalvenor
