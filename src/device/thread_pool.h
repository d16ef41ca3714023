// The workers of the host-emulated device. They are started once and kept,
// because a run makes hundreds of thousands of launches and a thread start
// per launch would cost more than a small batch of tests.
#pragma once

#include <signal.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace kalvenor {

// True while the work must wait: a client that suspends the program stops
// only its main thread, so the workers ask before each chunk.
using PauseCheck = std::function<bool()>;

// Blocks SIGALRM in the calling thread while it lives, so the threads it
// starts never take it: a client library's interval timer (BOINC's) expects
// it on the main thread.
class TimerSignalBlocked {
public:
    TimerSignalBlocked();
    ~TimerSignalBlocked();
    TimerSignalBlocked(const TimerSignalBlocked&) = delete;
    TimerSignalBlocked& operator=(const TimerSignalBlocked&) = delete;

private:
    sigset_t before_;
};

class ThreadPool {
public:
    using Task = std::function<void(uint32_t begin, uint32_t end)>;

    // Starts `threads` workers (at least one is attempted). If the system
    // refuses to start some, the pool makes do with fewer; with none at all,
    // start() runs the work on the calling thread. The workers never take
    // SIGALRM: a client library's interval timer expects it on the main thread.
    explicit ThreadPool(unsigned threads, PauseCheck paused = {});
    ~ThreadPool();
    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;

    unsigned size() const { return static_cast<unsigned>(workers_.size()); }

    // Hands [0, total) to the workers in chunks of `chunk` and returns without
    // waiting. Work started earlier is finished first, so jobs never overlap.
    void start(uint32_t total, uint32_t chunk, Task task);
    // Returns once everything started so far has finished.
    void wait();

private:
    void workerLoop();
    void drainChunks();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    std::vector<std::thread> workers_;
    PauseCheck paused_;

    // The current job; written only while no worker is inside one.
    Task task_;
    uint32_t total_ = 0;
    uint32_t chunk_ = 1;
    std::atomic<uint64_t> next_{0};

    uint64_t generation_ = 0;  // bumped per job; a worker joins each job once
    unsigned pending_ = 0;     // workers that have not yet finished the current job
    bool stopping_ = false;
};

}  // namespace kalvenor
