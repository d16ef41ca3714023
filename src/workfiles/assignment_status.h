// What reading, cutting and removing the first line of worktodo.txt can
// come to. The driver decides from it what to say and do next.
#pragma once

namespace kalvenor {

enum class AssignmentStatus {
    Ready,               // a line to run (reading) or lines left (removal)
    NoAssignment,        // the file holds no line
    BlankLine,           // the first line cannot be run and is to be removed:
    NoKeyword,           //   blank, without the keyword,
    BadValues,           //   or with values outside the ranges,
    LineTooLong,         //   or longer than any assignment
    CheckpointMismatch,  // the checkpoint is not this line's: delete it
    CheckpointUnreadable,  // kalvenor.cpt exists but cannot be read; said with perror
    FileEmpty,           // the removal took the last line
    WriteFailed,         // worktodo.txt could not be rewritten; it is as it was
    Unreadable,          // worktodo.txt is missing, unreadable or no text file; said
};

}  // namespace kalvenor
