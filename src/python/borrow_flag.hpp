#pragma once
// The borrow flag of a host object: 0 free, n > 0 shared by n calls, -1 held exclusively. It
// never blocks: a conflicting call fails at once with RuntimeError.

#include <atomic>
#include <cstdint>

namespace krodan::python {

class BorrowFlag {
  public:
    // Takes a shared borrow unless the flag is held exclusively.
    bool try_share() {
        std::int64_t seen = flag_.load(std::memory_order_relaxed);
        do {
            if (seen == EXCLUSIVE) return false;
        } while (!flag_.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire,
                                              std::memory_order_relaxed));
        return true;
    }
    void release_shared() { flag_.fetch_sub(1, std::memory_order_release); }

    // Takes the exclusive borrow when the flag is free.
    bool try_exclusive() {
        std::int64_t free = 0;
        return flag_.compare_exchange_strong(free, EXCLUSIVE, std::memory_order_acquire,
                                             std::memory_order_relaxed);
    }
    void release_exclusive() { flag_.store(0, std::memory_order_release); }

  private:
    static constexpr std::int64_t EXCLUSIVE = -1;
    std::atomic<std::int64_t> flag_{0};
};

}  // namespace krodan::python
