#include "driver/program.h"
#include "driver/work_directory.h"

#if KALVENOR_WITH_BOINC
#include "driver/boinc_host.h"
#include "driver/stop_signals.h"

// Under a BOINC client the run ends through the client library, which
// reports the status and never returns. A person's commands (--cut, --help,
// --version, --selftest) never start it: it would take their standard error
// into stderr.txt and leave its files in the directory they are run in.
int main(int argc, char** argv) {
    kalvenor::keepStandardDescriptorsOpen();
    if (!kalvenor::runsWork(argc, argv)) {
        kalvenor::RunHost plain;
        return kalvenor::runProgram(argc, argv, plain);
    }
    // The library's threads must not take the stop signals either, or one
    // of them would die of a SIGTERM instead of the run stopping cleanly.
    kalvenor::blockStopSignals();
    kalvenor::BoincHost host;  // then the library: before any file or thread
    const int code = kalvenor::runProgram(argc, argv, host);
    kalvenor::finishUnderBoinc(code);
}
#else
int main(int argc, char** argv) {
    kalvenor::keepStandardDescriptorsOpen();
    kalvenor::RunHost host;
    return kalvenor::runProgram(argc, argv, host);
}
#endif
