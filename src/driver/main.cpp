#include "driver/program.h"

#if KALVENOR_WITH_BOINC
#include "driver/boinc_host.h"
#include "driver/stop_signals.h"

// Under a BOINC client the run ends through the client library, which
// reports the status and never returns.
int main(int argc, char** argv) {
    // The library's threads must not take the stop signals either, or one
    // of them would die of a SIGTERM instead of the run stopping cleanly.
    kalvenor::blockStopSignals();
    kalvenor::BoincHost host;  // then the library: before any file or thread
    const int code = kalvenor::runProgram(argc, argv, host);
    kalvenor::finishUnderBoinc(code);
}
#else
int main(int argc, char** argv) {
    kalvenor::RunHost host;
    return kalvenor::runProgram(argc, argv, host);
}
#endif
