#include "driver/stop_signals.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

#include "device/thread_pool.h"

namespace kalvenor {

namespace {

sigset_t stopSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&set, s);
    return set;
}

}  // namespace

void blockStopSignals() {
    const sigset_t set = stopSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

StopSignals::StopSignals() {
    blockStopSignals();
    const TimerSignalBlocked blocked;  // nor SIGALRM, in the waiter
    waiter_ = std::thread([this] { waitForSignals(); });
}

StopSignals::~StopSignals() {
    done_ = true;
    waiter_.join();
    // Signals that came while nothing was left to stop keep their meaning.
    const sigset_t set = stopSignals();
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

void StopSignals::waitForSignals() {
    const sigset_t set = stopSignals();
    const timespec tick{0, 100'000'000};  // how soon the destructor is noticed
    while (!done_) {
        const int signal = sigtimedwait(&set, nullptr, &tick);
        if (signal <= 0) continue;  // EAGAIN or EINTR
        if (!graceful_ || requested_ != 0) ::_exit(128 + signal);
        requested_ = signal;
        std::printf("\nSignal %d: stopping after the batch in flight, with a checkpoint; a second one stops at once.\n",
                    signal);
        std::fflush(stdout);
    }
}

}  // namespace kalvenor
