// The exit codes of the program, all in one place; only runProgram turns
// them into the process's status.
#pragma once

namespace kalvenor {

enum class ExitCode : int {
    Success = 0,              // --help, --version, a passing --selftest
    Stopped = 1,              // no assignment or worktodo.txt, no kernel for the line, a refused
                              // device, no memory, a failing --selftest
    Usage = 2,                // a bad command line
    WorkDone = 6,             // the last assignment was completed
    WorkFileWriteFailed = 7,  // worktodo.txt could not be rewritten; the old file is kept
    RuntimeFailure = 255,     // (-1) a GPU runtime call failed, or an obsolete checkpoint
                              // could not be deleted
};

}  // namespace kalvenor
