#include "driver/program.h"

#if KALVENOR_WITH_BOINC
#include "driver/boinc_host.h"

// Under a BOINC client the run ends through the client library, which
// reports the status and never returns.
int main(int argc, char** argv) {
    kalvenor::BoincHost host;  // first of all: before any file or thread
    const int code = kalvenor::runProgram(argc, argv, host);
    kalvenor::finishUnderBoinc(code);
}
#else
int main(int argc, char** argv) {
    kalvenor::RunHost host;
    return kalvenor::runProgram(argc, argv, host);
}
#endif
