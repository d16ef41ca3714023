// The kernels, one line each: name, exponent window q, word count w. Every
// other list of them is made from this one (the table the program prints
// from, the GPU kernels and their launch entries). The GPU kernels are
// spread over four translation units so that a parallel build compiles them
// side by side; each group is about a quarter of the work (a kernel's size
// grows with w squared).
#pragma once

#define KALVENOR_KERNELS_GROUP1(X) \
    X(kalvenor96bit_n32_63, 1, 3)       \
    X(kalvenor128bit_n32_63, 1, 4)      \
    X(kalvenor128bit_n64_95, 2, 4)      \
    X(kalvenor160bit_n64_95, 2, 5)      \
    X(kalvenor160bit_n96_127, 3, 5)     \
    X(kalvenor192bit_n96_127, 3, 6)     \
    X(kalvenor192bit_n128_159, 4, 6)    \
    X(kalvenor224bit_n128_159, 4, 7)    \
    X(kalvenor224bit_n160_191, 5, 7)    \
    X(kalvenor256bit_n160_191, 5, 8)    \
    X(kalvenor256bit_n192_223, 6, 8)    \
    X(kalvenor288bit_n192_223, 6, 9)    \
    X(kalvenor288bit_n224_255, 7, 9)    \
    X(kalvenor320bit_n224_255, 7, 10)   \
    X(kalvenor320bit_n256_287, 8, 10)   \
    X(kalvenor352bit_n256_287, 8, 11)   \
    X(kalvenor352bit_n288_319, 9, 11)   \
    X(kalvenor384bit_n288_319, 9, 12)   \
    X(kalvenor384bit_n320_351, 10, 12)  \
    X(kalvenor416bit_n320_351, 10, 13)

#define KALVENOR_KERNELS_GROUP2(X)    \
    X(kalvenor416bit_n352_383, 11, 13) \
    X(kalvenor448bit_n352_383, 11, 14) \
    X(kalvenor448bit_n384_415, 12, 14) \
    X(kalvenor480bit_n384_415, 12, 15) \
    X(kalvenor480bit_n416_447, 13, 15) \
    X(kalvenor512bit_n416_447, 13, 16) \
    X(kalvenor512bit_n448_479, 14, 16)

#define KALVENOR_KERNELS_GROUP3(X)    \
    X(kalvenor544bit_n448_479, 14, 17) \
    X(kalvenor544bit_n480_511, 15, 17) \
    X(kalvenor576bit_n480_511, 15, 18) \
    X(kalvenor576bit_n512_543, 16, 18)

#define KALVENOR_KERNELS_GROUP4(X)    \
    X(kalvenor608bit_n512_543, 16, 19) \
    X(kalvenor608bit_n544_575, 17, 19) \
    X(kalvenor640bit_n544_575, 17, 20) \
    X(kalvenor640bit_n576_607, 18, 20) \
    X(kalvenor672bit_n576_607, 18, 21)

#define KALVENOR_KERNELS(X)     \
    KALVENOR_KERNELS_GROUP1(X) \
    KALVENOR_KERNELS_GROUP2(X) \
    KALVENOR_KERNELS_GROUP3(X) \
    KALVENOR_KERNELS_GROUP4(X)
