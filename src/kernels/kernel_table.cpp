#include "kernels/kernel_table.h"

namespace kalvenor {

const std::array<KernelSpec, kKernelCount> kKernels = {{
    {"kalvenor96bit_n32_63", 1, 3},      {"kalvenor128bit_n32_63", 1, 4},
    {"kalvenor128bit_n64_95", 2, 4},     {"kalvenor160bit_n64_95", 2, 5},
    {"kalvenor160bit_n96_127", 3, 5},    {"kalvenor192bit_n96_127", 3, 6},
    {"kalvenor192bit_n128_159", 4, 6},   {"kalvenor224bit_n128_159", 4, 7},
    {"kalvenor224bit_n160_191", 5, 7},   {"kalvenor256bit_n160_191", 5, 8},
    {"kalvenor256bit_n192_223", 6, 8},   {"kalvenor288bit_n192_223", 6, 9},
    {"kalvenor288bit_n224_255", 7, 9},   {"kalvenor320bit_n224_255", 7, 10},
    {"kalvenor320bit_n256_287", 8, 10},  {"kalvenor352bit_n256_287", 8, 11},
    {"kalvenor352bit_n288_319", 9, 11},  {"kalvenor384bit_n288_319", 9, 12},
    {"kalvenor384bit_n320_351", 10, 12}, {"kalvenor416bit_n320_351", 10, 13},
    {"kalvenor416bit_n352_383", 11, 13}, {"kalvenor448bit_n352_383", 11, 14},
    {"kalvenor448bit_n384_415", 12, 14}, {"kalvenor480bit_n384_415", 12, 15},
    {"kalvenor480bit_n416_447", 13, 15}, {"kalvenor512bit_n416_447", 13, 16},
    {"kalvenor512bit_n448_479", 14, 16}, {"kalvenor544bit_n448_479", 14, 17},
    {"kalvenor544bit_n480_511", 15, 17}, {"kalvenor576bit_n480_511", 15, 18},
    {"kalvenor576bit_n512_543", 16, 18}, {"kalvenor608bit_n512_543", 16, 19},
    {"kalvenor608bit_n544_575", 17, 19}, {"kalvenor640bit_n544_575", 17, 20},
    {"kalvenor640bit_n576_607", 18, 20},
}};

int kernelIndexByName(std::string_view name) {
    for (int i = 0; i < kKernelCount; ++i) {
        if (name == kKernels[i].name) return i;
    }
    return -1;
}

}  // namespace kalvenor
