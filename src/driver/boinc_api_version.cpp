// The BOINC API version, as the project server's update_versions looks for
// it: a line "API_VERSION_x.y.z" among the strings of the main program. The
// library that carries it in BOINC's own builds is linked shared here, so the
// program holds a copy of its own. The client tells apps of API 6.0 and up
// to use the memory-mapped channel, and of 7.5 and up that the GPU it
// assigns is in the init data rather than on the command line.
#include <boinc/version.h>

namespace kalvenor {

// Used: kept by the compiler although nothing reads it; the executable lists
// this file itself, so the linker keeps it too.
[[gnu::used]] extern const char kBoincApiVersion[] = "API_VERSION_" BOINC_VERSION_STRING;

}  // namespace kalvenor
