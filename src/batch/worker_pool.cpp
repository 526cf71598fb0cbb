#include "batch/worker_pool.hpp"

#include <algorithm>
#include <atomic>

namespace krodan {

struct WorkerPool::Job {
    Job(std::size_t n, FunctionRef<void(std::size_t, unsigned)> t) : num_tasks(n), task(t) {}
    std::size_t num_tasks;
    FunctionRef<void(std::size_t, unsigned)> task;
    std::atomic<std::size_t> next{0};
    std::mutex error_mutex;
    std::exception_ptr error;
};

WorkerPool::WorkerPool(unsigned num_threads) {
    if (num_threads == 0) num_threads = std::max(1u, std::thread::hardware_concurrency());
    threads_.reserve(num_threads - 1);
    for (unsigned t = 1; t < num_threads; ++t) threads_.emplace_back([this, t] { work_loop(t); });
}

WorkerPool::~WorkerPool() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& t : threads_) t.join();
}

void WorkerPool::work(Job& job, unsigned thread) {
    for (;;) {
        const std::size_t k = job.next.fetch_add(1, std::memory_order_relaxed);
        if (k >= job.num_tasks) return;
        try {
            job.task(k, thread);
        } catch (...) {
            std::lock_guard lock(job.error_mutex);
            if (!job.error) job.error = std::current_exception();
            job.next.store(job.num_tasks, std::memory_order_relaxed);
        }
    }
}

void WorkerPool::work_loop(unsigned thread) {
    std::unique_lock lock(mutex_);
    // Threads start before the first job, at generation 0; reading generation_ here instead
    // would miss a job posted before this thread first ran.
    std::uint64_t seen = 0;
    for (;;) {
        wake_.wait(lock, [&] { return stopping_ || generation_ != seen; });
        if (stopping_) return;
        seen = generation_;
        Job* job = job_;
        lock.unlock();
        work(*job, thread);
        lock.lock();
        if (--busy_ == 0) finished_.notify_one();
    }
}

void WorkerPool::run(std::size_t num_tasks, FunctionRef<void(std::size_t, unsigned)> task) {
    Job job(num_tasks, task);
    // A job smaller than the pool is not worth waking threads for.
    const bool alone = threads_.empty() || num_tasks <= 1;
    if (!alone) {
        {
            std::lock_guard lock(mutex_);
            job_ = &job;
            busy_ = static_cast<unsigned>(threads_.size());
            ++generation_;
        }
        wake_.notify_all();
    }
    work(job, 0);
    if (!alone) {
        std::unique_lock lock(mutex_);
        finished_.wait(lock, [&] { return busy_ == 0; });
        job_ = nullptr;
    }
    if (job.error) std::rethrow_exception(job.error);
}

}  // namespace krodan
