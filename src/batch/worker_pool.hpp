#pragma once
// A fixed set of threads that share the tasks of one job at a time with the calling thread.
// Between jobs they sleep on a condition variable; they live as long as the pool. In a child
// process forked from the one that made the pool, the calling thread runs every task.

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "batch/function_ref.hpp"

namespace krodan {

class WorkerPool {
  public:
    // `num_threads` counts the calling thread: 1 starts no thread. 0 means one per core this
    // process may run on (its CPU affinity).
    explicit WorkerPool(unsigned num_threads);
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    unsigned num_threads() const { return static_cast<unsigned>(threads_.size()) + 1; }

    // Runs task(k, thread) for every k in [0, num_tasks) and returns when all have run; `thread`
    // (below num_threads()) names the thread running it, so that a task can use that thread's
    // scratch memory. Tasks are taken in ascending order as threads come free. The first
    // exception a task throws stops the others from starting and is rethrown here. One job at
    // a time: callers serialise their calls.
    void run(std::size_t num_tasks, FunctionRef<void(std::size_t, unsigned)> task);

  private:
    struct Job;
    void work_loop(unsigned thread);
    void stop();
    static void work(Job& job, unsigned thread);

    // On the heap: a forked child leaks them, since a condition variable that the parent's
    // sleeping threads waited on cannot be destroyed there (it would wait for them forever).
    struct Sync {
        std::mutex mutex;
        std::condition_variable wake;
        std::condition_variable finished;
    };
    std::vector<std::thread> threads_;
    std::unique_ptr<Sync> sync_ = std::make_unique<Sync>();
    Job* job_ = nullptr;
    std::atomic<std::uint64_t> generation_{0};
    std::atomic<unsigned> busy_{0};
    bool stopping_ = false;
    int owner_;  // the process that started the threads
};

}  // namespace krodan
