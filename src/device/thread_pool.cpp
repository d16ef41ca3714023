#include "device/thread_pool.h"

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <system_error>
#include <utility>

namespace kalvenor {

TimerSignalBlocked::TimerSignalBlocked() {
    sigset_t timer;
    sigemptyset(&timer);
    sigaddset(&timer, SIGALRM);
    pthread_sigmask(SIG_BLOCK, &timer, &before_);
}

TimerSignalBlocked::~TimerSignalBlocked() { pthread_sigmask(SIG_SETMASK, &before_, nullptr); }

ThreadPool::ThreadPool(unsigned threads, PauseCheck paused) : paused_(std::move(paused)) {
    threads = std::max(threads, 1u);
    const TimerSignalBlocked blocked;  // inherited by the workers
    workers_.reserve(threads);
    for (unsigned i = 0; i < threads; ++i) {
        try {
            workers_.emplace_back([this] { workerLoop(); });
        } catch (const std::system_error&) {
            break;  // a thread limit: the ones already running will do
        }
    }
}

ThreadPool::~ThreadPool() {
    wait();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& worker : workers_) worker.join();
}

void ThreadPool::start(uint32_t total, uint32_t chunk, Task task) {
    if (total == 0) return;
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [this] { return pending_ == 0; });
    task_ = std::move(task);
    total_ = total;
    chunk_ = std::max(chunk, 1u);
    next_.store(0, std::memory_order_relaxed);
    if (workers_.empty()) {
        lock.unlock();
        drainChunks();
        return;
    }
    // Every worker takes part in every job, even one that finds the chunks
    // already gone; that keeps the bookkeeping to one counter.
    pending_ = size();
    ++generation_;
    lock.unlock();
    wake_.notify_all();
}

void ThreadPool::wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [this] { return pending_ == 0; });
}

void ThreadPool::drainChunks() {
    for (;;) {
        while (paused_ && paused_()) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const uint64_t begin = next_.fetch_add(chunk_, std::memory_order_relaxed);
        if (begin >= total_) return;
        const uint64_t end = std::min<uint64_t>(begin + chunk_, total_);
        task_(static_cast<uint32_t>(begin), static_cast<uint32_t>(end));
    }
}

void ThreadPool::workerLoop() {
    uint64_t seen = 0;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [&] { return stopping_ || generation_ != seen; });
        if (stopping_) return;
        seen = generation_;
        lock.unlock();
        drainChunks();
        lock.lock();
        if (--pending_ == 0) done_.notify_all();
    }
}

}  // namespace kalvenor
