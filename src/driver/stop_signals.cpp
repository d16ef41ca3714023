#include "driver/stop_signals.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>

#include "device/thread_pool.h"

namespace kalvenor {

namespace {

// Long enough for a loaded node's job script to pass a signal on, short
// enough that a person who sends the signal again soon sees it act.
constexpr std::chrono::seconds kSameRequest{2};

// A signal ignored when the program started stays ignored: nohup ignores
// SIGHUP, a shell ignores SIGINT for a job started with &, and either says
// the run must outlive it. Blocked, an ignored signal would still reach the
// waiter (Linux queues a blocked signal whatever its disposition), so these
// are left out. The program itself never ignores them, so the set is the
// same whenever it is asked for.
sigset_t stopSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (int s : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction current {};
        if (::sigaction(s, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) continue;
        sigaddset(&set, s);
    }
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
    std::chrono::steady_clock::time_point firstAt;
    const long long windowSeconds = kSameRequest.count();
    while (!done_) {
        const int signal = sigtimedwait(&set, nullptr, &tick);
        if (signal <= 0) continue;  // EAGAIN or EINTR
        if (!graceful_) ::_exit(128 + signal);
        const auto now = std::chrono::steady_clock::now();
        if (requested_ != 0) {
            // A scheduler that signals the whole process group while the job
            // script passes its signal on delivers one stop twice, within
            // moments. Ctrl-C is a person's, and a second one means "now".
            if (signal != requested_ || signal == SIGINT || now - firstAt > kSameRequest) ::_exit(128 + signal);
            std::printf("\nSignal %d again within %lld s: the same stop request.\n", signal, windowSeconds);
            std::fflush(stdout);
            continue;
        }
        requested_ = signal;
        firstAt = now;
        if (signal == SIGINT)
            std::printf("\nSignal %d: stopping after the batch in flight, with a checkpoint; a second one stops at once.\n",
                        signal);
        else
            std::printf("\nSignal %d: stopping after the batch in flight, with a checkpoint; a second one stops at once "
                        "(the same signal within %lld s counts as this one).\n",
                        signal, windowSeconds);
        std::fflush(stdout);
    }
}

}  // namespace kalvenor
