// Linked into the program only with KALVENOR_STATIC_RUNTIME. The C++ runtime
// linked in was built against this machine's C library and refers to
// arc4random (from std::random_device, which the program never uses), new in
// glibc 2.36: that one reference would refuse to start the program wherever
// the C library is older, such as Ubuntu 22.04 or RHEL 9. Defined here, the
// program needs no newer glibc than the CUDA runtime does.
#include <sys/random.h>

#include <cstdint>

extern "C" uint32_t arc4random() {
    uint32_t value = 0;
    while (getrandom(&value, sizeof value, 0) != static_cast<ssize_t>(sizeof value)) {
    }
    return value;
}
