// Invariants that, were they broken, would silently cost a factor: checked
// in a verify build (CMake option KALVENOR_VERIFY, on for Debug builds and
// the sanitizer CI run), compiled out of Release. A broken one stops the
// process at once with the expression and where it sits, as an assertion.
#pragma once

#if defined(KALVENOR_VERIFY) && KALVENOR_VERIFY && !defined(__CUDA_ARCH__)
#define KALVENOR_VERIFYING 1
#else
#define KALVENOR_VERIFYING 0
#endif

#if KALVENOR_VERIFYING
#include <cstdio>
#include <cstdlib>

namespace kalvenor {
[[noreturn]] inline void invariantBroken(const char* expression, const char* file, int line) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s:%d: invariant broken: %s\n", file, line, expression);
    std::abort();
}
}  // namespace kalvenor

// Variadic, so that template arguments need no extra parentheses.
#define KALVENOR_VERIFY_THAT(...) \
    ((__VA_ARGS__) ? void(0) : ::kalvenor::invariantBroken(#__VA_ARGS__, __FILE__, __LINE__))
#elif defined(__CUDA_ARCH__)
#define KALVENOR_VERIFY_THAT(...) ((void)0)
#else
// Not evaluated, but still compiled, so a verify build cannot break unseen.
#define KALVENOR_VERIFY_THAT(...) ((void)sizeof((__VA_ARGS__) ? 1 : 0))
#endif
