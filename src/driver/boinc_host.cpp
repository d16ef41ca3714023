#include "driver/boinc_host.h"

#include <boinc/app_ipc.h>
#include <boinc/boinc_api.h>

#include <cstdio>
#include <cstdlib>

#include "driver/exit_code.h"

namespace kalvenor {

BoincHost::BoincHost() {
    BOINC_OPTIONS options;
    boinc_options_defaults(options);
    // A GPU application: the feeding thread must not wait behind the
    // client's idle-priority work.
    options.normal_thread_priority = 1;
    options.multi_thread = 1;  // the sieve and the host device have workers
    const int status = boinc_init_options(&options);
    if (status != 0) {
        std::fprintf(stderr, "kalvenor: the BOINC library did not start (%d)\n", status);
        boinc_finish(status);
    }
    standalone_ = boinc_is_standalone() != 0;
    if (standalone_) return;
    // What the client gave this task, read once: it does not change during the run.
    APP_INIT_DATA data;
    boinc_get_init_data(data);
    if (data.gpu_device_num >= 0) assignedDevice_ = data.gpu_device_num;
    // A multi-threaded plan class reserves this many; anything else runs on one.
    cpuLimit_ = data.ncpus >= 1 ? static_cast<unsigned>(data.ncpus) : 1u;
}

std::string BoincHost::resolve(const char* logical) {
    std::string physical;
    if (boinc_resolve_filename_s(logical, physical) != 0) return logical;
    return physical;
}

std::optional<int> BoincHost::assignedDevice() { return assignedDevice_; }

bool BoincHost::timeToCheckpoint(bool minutePassed) {
    // Standalone, the library's default period (five minutes) would only
    // lose work; the program's own minute stays.
    if (standalone_) return minutePassed;
    inCheckpoint_ = boinc_time_to_checkpoint() != 0;
    return inCheckpoint_;
}

void BoincHost::checkpointWritten() {
    if (!inCheckpoint_) return;
    boinc_checkpoint_completed();
    inCheckpoint_ = false;
}

void BoincHost::fractionDone(double fraction) { boinc_fraction_done(fraction); }

bool BoincHost::suspended() { return boinc_status.suspended != 0; }

std::optional<unsigned> BoincHost::cpuLimit() { return cpuLimit_; }

std::string BoincHost::description() {
    return standalone_ ? "BOINC application, standalone (no client)" : "BOINC application, run by the client";
}

void finishUnderBoinc(int exitCode) {
    std::fflush(stdout);
    if (exitCode > 128 && exitCode < 128 + 32) {
        // boinc_temporary_exit leaves with 0, which only a client reads right;
        // by hand the stop keeps its own exit code.
        if (!boinc_is_standalone()) boinc_temporary_exit(0, "stopped by a signal; continues from the checkpoint");
        std::exit(exitCode);
    }
    boinc_finish(exitCode == static_cast<int>(ExitCode::WorkDone) ? 0 : exitCode);
    std::exit(exitCode);  // boinc_finish does not return; this keeps [[noreturn]] true
}

}  // namespace kalvenor
