// A first-in first-out queue in one block that grows only when it is full,
// so that queuing and taking items costs no allocation once it is big
// enough (a std::deque allocates and frees blocks as it moves along).
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

namespace sim {

template <typename T>
class Fifo {
 public:
  explicit Fifo(size_t capacity = 16) : items_(capacity ? capacity : 1) {}

  size_t size() const { return count_; }
  bool empty() const { return count_ == 0; }

  void push_back(T item) {
    if (count_ == items_.size()) Grow();
    items_[(head_ + count_) % items_.size()] = std::move(item);
    ++count_;
  }

  T pop_front() {
    T item = std::move(items_[head_]);
    head_ = (head_ + 1) % items_.size();
    --count_;
    return item;
  }

 private:
  void Grow() {
    std::vector<T> grown(items_.size() * 2);
    for (size_t i = 0; i < count_; ++i) grown[i] = std::move(items_[(head_ + i) % items_.size()]);
    items_.swap(grown);
    head_ = 0;
  }

  std::vector<T> items_;
  size_t head_ = 0;
  size_t count_ = 0;
};

}  // namespace sim
