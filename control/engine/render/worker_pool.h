// Threads that draw bands of a frame at the same time. They start on the
// first run that can use them and end when the pool is destroyed (the
// control that owns it released), so that no thread outlives the code it
// runs. Plain C++ (std::thread).
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace engine {

class worker_pool {
public:
    // `threads` in all, the caller's included; 0: as many as the machine has cores.
    explicit worker_pool(int threads = 0);
    ~worker_pool();
    worker_pool(const worker_pool&) = delete;
    worker_pool& operator=(const worker_pool&) = delete;

    int threads() const { return threads_; }

    // Runs task(0) .. task(count - 1), each once, on the pool's threads and
    // the caller's; returns when all have run. Tasks must not throw.
    void run(int count, const std::function<void(int)>& task);

private:
    void start();
    void work(unsigned seen);
    void take_tasks(std::unique_lock<std::mutex>& lock);

    int threads_;
    std::vector<std::thread> workers_;
    std::mutex mutex_;
    std::condition_variable wake_, done_;
    const std::function<void(int)>* task_ = nullptr;
    int count_ = 0, next_ = 0, finished_ = 0;
    unsigned generation_ = 0;
    bool stopping_ = false;
};

}  // namespace engine
