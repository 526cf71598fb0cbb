#include "batch/worker_pool.hpp"

#include <algorithm>
#include <chrono>
#include <exception>

#include <sched.h>
#include <unistd.h>

namespace krodan {
namespace {

// Waking a sleeping thread takes tens of microseconds on virtual machines, as long as a whole
// job of a small batch. So a thread that has just finished a job, and a caller waiting for the
// others, watch for the next event this long before they sleep: the jobs of one call follow
// each other within microseconds, while between calls the threads are soon asleep.
constexpr auto SPIN = std::chrono::microseconds(50);

inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

// Spins until done() or SPIN has passed; returns done().
template <class Done>
bool spin_until(Done&& done) {
    const auto deadline = std::chrono::steady_clock::now() + SPIN;
    for (unsigned i = 1;; ++i) {
        if (done()) return true;
        cpu_relax();
        if (i % 64 == 0 && std::chrono::steady_clock::now() > deadline) return done();
    }
}

// The cores this process may run on: a CPU affinity limit (taskset, a container's CPU set)
// counts, not only the machine's count, as for the package's worker processes.
unsigned usable_cores() {
#if defined(__linux__)
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof(set), &set) == 0)
        return static_cast<unsigned>(std::max(1, CPU_COUNT(&set)));
#endif
    return std::max(1u, std::thread::hardware_concurrency());
}

}  // namespace

struct WorkerPool::Job {
    Job(std::size_t n, FunctionRef<void(std::size_t, unsigned)> t) : num_tasks(n), task(t) {}
    std::size_t num_tasks;
    FunctionRef<void(std::size_t, unsigned)> task;
    std::atomic<std::size_t> next{0};
    std::mutex error_mutex;
    std::exception_ptr error;
};

WorkerPool::WorkerPool(unsigned num_threads) : owner_(getpid()) {
    if (num_threads == 0) num_threads = usable_cores();
    threads_.reserve(num_threads - 1);
    try {
        for (unsigned t = 1; t < num_threads; ++t)
            threads_.emplace_back([this, t] { work_loop(t); });
    } catch (...) {
        stop();  // the threads already started; a joinable thread must not be destroyed
        throw;
    }
}

WorkerPool::~WorkerPool() {
    stop();
}

void WorkerPool::stop() {
    if (getpid() != owner_) {
        // A forked child has the thread objects but not the threads: nothing to join, and
        // nothing to destroy that they may have been waiting on.
        for (std::thread& t : threads_) t.detach();
        static_cast<void>(sync_.release());
        return;
    }
    {
        std::lock_guard lock(sync_->mutex);
        stopping_ = true;
    }
    sync_->wake.notify_all();
    for (std::thread& t : threads_) t.join();
    threads_.clear();
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
    // Threads start before the first job, at generation 0; reading generation_ here instead
    // would miss a job posted before this thread first ran.
    std::uint64_t seen = 0;
    for (;;) {
        const auto posted = [&] { return generation_.load(std::memory_order_acquire) != seen; };
        if (!spin_until(posted)) {
            std::unique_lock lock(sync_->mutex);
            sync_->wake.wait(lock, [&] { return stopping_ || posted(); });
            if (stopping_) return;
        }
        Job* job;
        {
            std::lock_guard lock(sync_->mutex);
            if (stopping_) return;
            seen = generation_.load(std::memory_order_relaxed);
            job = job_;
        }
        work(*job, thread);
        if (busy_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            std::lock_guard lock(sync_->mutex);
            sync_->finished.notify_one();
        }
    }
}

void WorkerPool::run(std::size_t num_tasks, FunctionRef<void(std::size_t, unsigned)> task) {
    Job job(num_tasks, task);
    // A job smaller than the pool is not worth waking threads for. In a child forked from the
    // process that made the pool, the workers do not exist: the calling thread does all.
    const bool alone = threads_.empty() || num_tasks <= 1 || getpid() != owner_;
    if (!alone) {
        {
            std::lock_guard lock(sync_->mutex);
            job_ = &job;
            busy_.store(static_cast<unsigned>(threads_.size()), std::memory_order_relaxed);
            generation_.fetch_add(1, std::memory_order_release);
        }
        sync_->wake.notify_all();
    }
    work(job, 0);
    if (!alone) {
        const auto finished = [&] { return busy_.load(std::memory_order_acquire) == 0; };
        if (!spin_until(finished)) {
            std::unique_lock lock(sync_->mutex);
            sync_->finished.wait(lock, finished);
        }
        std::lock_guard lock(sync_->mutex);
        job_ = nullptr;
    }
    if (job.error) std::rethrow_exception(job.error);
}

}  // namespace krodan
