// boundedQueue.h — a fixed-capacity hand-off between two threads.
//
// push blocks while the queue is full, pop while it is empty; tryPush and
// tryPop (and tryMove, which leaves a refused item with the caller) never block. close() wakes
// both sides: push then refuses, pop drains what is left and then reports the
// end. Either side may close, which is how a failing consumer stops its
// producer.
//
// Threading: one producer, one consumer; the owner named where it is declared
// creates and destroys it after both threads are done with it.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <utility>

template <typename T>
class BoundedQueue {
 public:
  explicit BoundedQueue(size_t capacity) : capacity_(capacity) {}

  // False if the queue was closed; the item is then dropped.
  bool push(T item) {
    std::unique_lock<std::mutex> lock(mutex_);
    notFull_.wait(lock, [&] { return closed_ || items_.size() < capacity_; });
    if (closed_) {
      return false;
    }
    items_.push_back(std::move(item));
    notEmpty_.notify_one();
    return true;
  }

  // Never waits: false if the queue is full or closed; the item is then dropped.
  bool tryPush(T item) { return tryMove(item); }

  // Never waits: false if the queue is full or closed, and the item is then
  // left with the caller (a live frame that cannot go keeps its buffer).
  bool tryMove(T& item) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_ || items_.size() >= capacity_) {
      return false;
    }
    items_.push_back(std::move(item));
    notEmpty_.notify_one();
    return true;
  }

  bool closed() {
    std::lock_guard<std::mutex> lock(mutex_);
    return closed_;
  }

  // Never waits: false if nothing is queued.
  bool tryPop(T& item) {
    std::lock_guard<std::mutex> lock(mutex_);
    return take(item);
  }

  // False once the queue is closed and empty.
  bool pop(T& item) {
    std::unique_lock<std::mutex> lock(mutex_);
    notEmpty_.wait(lock, [&] { return closed_ || !items_.empty(); });
    return take(item);
  }

  void close() {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    notFull_.notify_all();
    notEmpty_.notify_all();
  }

 private:
  // With mutex_ held.
  bool take(T& item) {
    if (items_.empty()) {
      return false;
    }
    item = std::move(items_.front());
    items_.pop_front();
    notFull_.notify_one();
    return true;
  }

  std::mutex mutex_;
  std::condition_variable notFull_;
  std::condition_variable notEmpty_;
  std::deque<T> items_;
  size_t capacity_;
  bool closed_ = false;
};
