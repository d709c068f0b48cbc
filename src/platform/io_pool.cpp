#include "platform/io_pool.h"

#include <algorithm>

namespace tandrel {

int IoPool::ThreadsFor(bool remote) {
  constexpr int kRemoteThreads = 16;
  if (remote) return kRemoteThreads;
  return std::max(2, static_cast<int>(std::thread::hardware_concurrency()));
}

IoPool::IoPool(int threads, int width) {
  if (threads < 2) return;
  planned_ = threads;
  const int start = width > 0 ? std::min(width, threads) : threads;
  threads_.reserve(static_cast<size_t>(threads));
  for (int i = 0; i < start; ++i) threads_.emplace_back([this] { Work(); });
}

IoPool::~IoPool() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (std::thread& thread : threads_) thread.join();
}

void IoPool::Submit(std::function<void()> task) {
  if (planned_ == 0) {
    task();
    return;
  }
  {
    std::lock_guard lock(mutex_);
    tasks_.push_back(std::move(task));
  }
  wake_.notify_one();
}

void IoPool::Widen() {
  // Only the owner widens, and it joins the threads, so the list of
  // threads needs no lock.
  while (static_cast<int>(threads_.size()) < planned_) {
    threads_.emplace_back([this] { Work(); });
  }
}

void IoPool::Work() {
  for (;;) {
    std::function<void()> task;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
      if (tasks_.empty()) return;
      task = std::move(tasks_.front());
      tasks_.pop_front();
    }
    task();
  }
}

void TaskCount::Submit(IoPool& pool, std::function<void()> task) {
  {
    std::lock_guard lock(mutex_);
    ++running_;
  }
  pool.Submit([this, task = std::move(task)]() mutable {
    // What the task holds goes before it counts as done: its owner may be
    // gone right after.
    std::function<void()>(std::move(task))();
    std::lock_guard lock(mutex_);
    --running_;
    done_.notify_all();
  });
}

void TaskCount::WaitBelow(int count) {
  std::unique_lock lock(mutex_);
  done_.wait(lock, [&] { return running_ < count; });
}

}  // namespace tandrel
