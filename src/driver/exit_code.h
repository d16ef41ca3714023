// The exit codes of the program, all in one place; only runProgram turns
// them into the process's status.
#pragma once

namespace kalvenor {

enum class ExitCode : int {
    Success = 0,              // --help, --version, a passing --selftest
    Stopped = 1,              // no line in worktodo.txt at the start (nothing done), no
                              // worktodo.txt, no kernel for the line, a refused device, no
                              // memory, a failing --selftest
    Usage = 2,                // a bad command line
    DeviceUnusable = 3,       // the CUDA device of --device N (or the one a client assigned)
                              // cannot be used
    WorkDone = 6,             // worktodo.txt is empty, and every line this run took out of it
                              // is in results.txt and results.jsonl (complete, no kernel or
                              // refused), whatever the order of the lines
    WorkFileWriteFailed = 7,  // worktodo.txt could not be rewritten (the old file is kept), or
                              // the directory does not take the files a run writes
    FactorNotWritten = 8,     // a factor could not be appended to factors.txt
    AnotherInstance = 9,      // another kalvenor holds this directory's lock
    DeviceFault = 10,         // the device computed a wrong residue or reported a false factor;
                              // nothing of that batch counted (under BOINC a task error)
    RuntimeFailure = 255,     // (-1) a GPU runtime call failed, or an obsolete checkpoint
                              // could not be deleted
};

// Faults that may pass: the device busy, short of memory, reset or not
// ready, a runtime call that failed for it. A client that can start the task
// again later from its checkpoint does so (BOINC's temporary exit) rather
// than count a failed task; a wrong result (DeviceFault) is no such fault.
constexpr bool mayPass(ExitCode code) { return code == ExitCode::DeviceUnusable || code == ExitCode::RuntimeFailure; }

// Stopped by a signal: 128 + its number, as a shell reports it.
constexpr ExitCode stoppedBy(int signal) { return static_cast<ExitCode>(128 + signal); }

}  // namespace kalvenor
