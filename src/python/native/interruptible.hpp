#pragma once
// Long native work that Ctrl-C can stop: the work runs on a thread of its own while the calling
// thread, the interpreter lock released, wakes every few milliseconds to run Python's signal
// handlers. When one raises (KeyboardInterrupt), the work is asked to stop and waited for.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>

#include "python/native/without_lock.hpp"

namespace krodan::python {

// How often the waiting thread looks for a signal: well under the second a person waits.
inline constexpr std::chrono::milliseconds SIGNAL_POLL{50};

// Runs work(stop), `stop` a std::atomic<bool> the work reads between its steps. Returns true when
// it ran to its end; false, with the handler's exception set, when a signal handler raised and
// the work was stopped. An exception the work throws is thrown on here, with the lock held.
template <class Work>
bool interruptible(Work&& work) {
    std::atomic<bool> stop{false};
    std::exception_ptr failure;
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    std::thread runner([&] {
        try {
            work(stop);
        } catch (...) {
            failure = std::current_exception();
        }
        const std::lock_guard lock(mutex);
        done = true;
        finished.notify_one();
    });
    bool raised = false;
    for (;;) {
        const bool ended = without_lock([&] {
            std::unique_lock lock(mutex);
            return finished.wait_for(lock, SIGNAL_POLL, [&] { return done; });
        });
        if (ended) break;
        if (!raised && PyErr_CheckSignals() < 0) {
            raised = true;
            stop.store(true);
        }
    }
    runner.join();
    if (raised) return false;  // the handler's exception, not what stopping may have caused
    if (failure) std::rethrow_exception(failure);
    return true;
}

}  // namespace krodan::python
