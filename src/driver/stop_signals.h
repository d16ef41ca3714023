// SIGINT, SIGTERM and SIGHUP, taken by a thread of their own instead of a
// handler: while work runs, the first one asks the work to stop after the
// batch in flight (the sieve saves a checkpoint and returns), and a second
// one ends the process at once; outside work the first one does. A SIGTERM
// or SIGHUP repeated within two seconds is the same request: a scheduler's
// stop can arrive both directly and through the job script. A signal
// ignored at start (nohup's SIGHUP) is left ignored.
#pragma once

#include <atomic>
#include <thread>

namespace kalvenor {

// Blocks SIGINT, SIGTERM and SIGHUP in the calling thread and so in every
// thread started after it. StopSignals does it itself; a caller that must
// start threads of a library first (the BOINC client's) calls it before.
void blockStopSignals();

class StopSignals {
public:
    // Blocks the three signals in the calling thread, and so in every thread
    // started after it, and starts the thread that waits for them. Create it
    // before any other thread.
    StopSignals();
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    // Whether the first signal waits for the work (true while work runs).
    void setGraceful(bool graceful) { graceful_ = graceful; }
    // The signal that asked for a stop, 0 while none has.
    int requested() const { return requested_; }

private:
    void waitForSignals();

    std::atomic<bool> graceful_{false};
    std::atomic<int> requested_{0};
    std::atomic<bool> done_{false};
    std::thread waiter_;
};

}  // namespace kalvenor
