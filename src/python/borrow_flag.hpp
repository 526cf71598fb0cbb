#pragma once
// The borrow flag of a host object: 0 free, n > 0 shared by n calls, -1 held exclusively. It
// never blocks: a conflicting call fails at once with RuntimeError.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

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

// A shared borrow for the scope; when refused, it is false and RuntimeError is set.
class SharedBorrow {
  public:
    explicit SharedBorrow(BorrowFlag& flag) : flag_(flag), held_(flag.try_share()) {
        if (!held_) PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
    }
    ~SharedBorrow() {
        if (held_) flag_.release_shared();
    }
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;
    explicit operator bool() const { return held_; }

  private:
    BorrowFlag& flag_;
    bool held_;
};

// The exclusive borrow for the scope; when refused, it is false and RuntimeError is set.
class ExclusiveBorrow {
  public:
    explicit ExclusiveBorrow(BorrowFlag& flag) : flag_(flag), held_(flag.try_exclusive()) {
        if (!held_) PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
    }
    ~ExclusiveBorrow() {
        if (held_) flag_.release_exclusive();
    }
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
    explicit operator bool() const { return held_; }

  private:
    BorrowFlag& flag_;
    bool held_;
};

}  // namespace krodan::python
