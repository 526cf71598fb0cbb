#pragma once
// Borrows of a host object for the duration of one call, refused at once on a conflict.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "python/borrow_flag.hpp"

namespace krodan::python {

// A borrow for the scope, shared or exclusive; when refused it is false and RuntimeError is set:
// "Already mutably borrowed" for a shared borrow, "Already borrowed" for the exclusive one.
template <bool Exclusive>
class Borrow {
  public:
    explicit Borrow(BorrowFlag& flag)
        : flag_(flag), held_(Exclusive ? flag.try_exclusive() : flag.try_share()) {
        if (!held_)
            PyErr_SetString(PyExc_RuntimeError,
                            Exclusive ? "Already borrowed" : "Already mutably borrowed");
    }
    ~Borrow() {
        if (!held_) return;
        if constexpr (Exclusive) {
            flag_.release_exclusive();
        } else {
            flag_.release_shared();
        }
    }
    Borrow(const Borrow&) = delete;
    Borrow& operator=(const Borrow&) = delete;
    explicit operator bool() const { return held_; }

  private:
    BorrowFlag& flag_;
    bool held_;
};

using SharedBorrow = Borrow<false>;
using ExclusiveBorrow = Borrow<true>;

}  // namespace krodan::python
