// What the program runs under: by itself, or as the application of a
// volunteer-computing client (BOINC), which names its files, may assign it
// a GPU, schedules its checkpoints, wants to know how far it has got, and
// may suspend it. The plain host answers as a program on its own would.
#pragma once

#include <optional>
#include <string>

#include "driver/exit_code.h"
#include "workfiles/work_paths.h"

namespace kalvenor {

class RunHost {
public:
    virtual ~RunHost() = default;

    // The file to use for a logical name ("worktodo.txt", ...).
    virtual std::string resolve(const char* logical) { return logical; }
    // The CUDA device the client assigned, if any.
    virtual std::optional<int> assignedDevice() { return std::nullopt; }
    // Whether to save a checkpoint now; `minutePassed` is the program's own rule.
    virtual bool timeToCheckpoint(bool minutePassed) { return minutePassed; }
    // Called after every checkpoint timeToCheckpoint asked for.
    virtual void checkpointWritten() {}
    // The share of the work done, 0 to 1.
    virtual void fractionDone(double) {}
    // Whether the client has suspended the run: worker threads poll it and
    // wait, since the client stops only the main thread.
    virtual bool suspended() { return false; }
    // The CPUs the client gives the run, if it says.
    virtual std::optional<unsigned> cpuLimit() { return std::nullopt; }
    // A line for the start-up block, or "" for none.
    virtual std::string description() { return ""; }
    // A client's work file is one unit of work that must leave its records:
    // a line that cannot run fails the unit instead of being dropped (which
    // would leave the file empty and read as done). Before the run: the exit
    // code that settles the unit without running it, said on standard
    // error, or nothing to run it.
    virtual std::optional<ExitCode> settledUnit(const WorkPaths&) { return std::nullopt; }
    // After the run: the exit code the run ends with, given the loop's.
    virtual ExitCode judgedEnd(ExitCode code, const WorkPaths&) { return code; }
};

}  // namespace kalvenor
