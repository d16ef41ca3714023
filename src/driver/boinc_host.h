// The program as a BOINC application (built with KALVENOR_BOINC): the client
// library names its files, may assign a GPU, schedules checkpoints, takes
// the fraction done, and suspends the run. Started by hand, with no client,
// the library runs standalone and the program behaves as it does anywhere,
// except that the work file is one unit: it ends as a failure when a line
// cannot run or no record is left, as a task of the client would.
#pragma once

#include "driver/run_host.h"

namespace kalvenor {

class BoincHost final : public RunHost {
public:
    // Starts the client library; must come before any file or thread.
    BoincHost();

    std::string resolve(const char* logical) override;
    std::optional<int> assignedDevice() override;
    bool timeToCheckpoint(bool minutePassed) override;
    void checkpointWritten() override;
    void fractionDone(double fraction) override;
    bool suspended() override;
    std::optional<unsigned> cpuLimit() override;
    std::string description() override;
    std::optional<ExitCode> settledUnit(const WorkPaths& paths) override;
    ExitCode judgedEnd(ExitCode code, const WorkPaths& paths) override;

private:
    bool standalone_ = true;
    bool inCheckpoint_ = false;  // the library granted one, to be confirmed
    std::optional<int> assignedDevice_;  // none standalone
    std::optional<unsigned> cpuLimit_;
};

// Ends the process through the client library with the run's exit code.
// Finished work (exit code 6) is success (0) to a client; any other code is
// a failed task, except where a client can start the task again from its
// checkpoint: a run stopped by a signal (a shutdown, say) and a device fault
// that may pass (exit_code.h) end in a temporary exit. Standalone, with no
// client to start it again, every failure keeps its own exit code.
[[noreturn]] void finishUnderBoinc(int exitCode);

}  // namespace kalvenor
