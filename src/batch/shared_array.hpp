#pragma once
// The memory of one output array of a batch, shared with the views a host hands out, so that a
// view stays valid after the batch is gone. Allocated once, zeroed, at its final size.

#include <cstddef>
#include <memory>
#include <span>

namespace krodan {

template <class T>
class SharedArray {
  public:
    SharedArray() = default;
    explicit SharedArray(std::size_t size) : data_(std::make_shared<T[]>(size)), size_(size) {}

    T* data() const { return data_.get(); }
    std::size_t size() const { return size_; }
    std::span<T> span() const { return {data_.get(), size_}; }
    T& operator[](std::size_t i) const { return data_[i]; }
    // What keeps the memory alive, for a view of it.
    std::shared_ptr<const void> owner() const { return data_; }

  private:
    std::shared_ptr<T[]> data_;
    std::size_t size_ = 0;
};

}  // namespace krodan
