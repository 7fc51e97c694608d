#include "control/engine/render/worker_pool.h"

#include <algorithm>

namespace engine {

worker_pool::worker_pool(int threads) {
    const int cores = static_cast<int>(std::thread::hardware_concurrency());
    threads_ = std::clamp(threads > 0 ? threads : cores, 1, 64);
}

worker_pool::~worker_pool() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& t : workers_) t.join();
}

// A thread that cannot be started leaves the work to those that were.
// Each starts from the generation before the run that starts it, so that it
// takes part in that run too (started under the lock, it may first look
// after the run has been announced).
void worker_pool::start() {
    try {
        for (int i = 1; i < threads_; ++i) workers_.emplace_back([this, seen = generation_] { work(seen); });
    } catch (const std::exception&) {
    }
}

// Takes tasks until none are left; the lock is held between tasks only.
void worker_pool::take_tasks(std::unique_lock<std::mutex>& lock) {
    while (task_ && next_ < count_) {
        const int index = next_++;
        const std::function<void(int)>& task = *task_;
        lock.unlock();
        task(index);
        lock.lock();
        if (++finished_ == count_) done_.notify_all();
    }
}

void worker_pool::work(unsigned seen) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [&] { return stopping_ || generation_ != seen; });
        if (stopping_) return;
        seen = generation_;
        take_tasks(lock);
    }
}

void worker_pool::run(int count, const std::function<void(int)>& task) {
    if (count <= 0) return;
    if (threads_ == 1 || count == 1) {
        for (int i = 0; i < count; ++i) task(i);
        return;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    if (workers_.empty()) start();
    if (workers_.empty()) {
        lock.unlock();
        for (int i = 0; i < count; ++i) task(i);
        return;
    }
    task_ = &task;
    count_ = count, next_ = 0, finished_ = 0;
    ++generation_;
    wake_.notify_all();
    take_tasks(lock);
    done_.wait(lock, [&] { return finished_ == count_; });
    task_ = nullptr;
}

}  // namespace engine
