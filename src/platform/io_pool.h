// A few threads that make file-system requests side by side, so that the
// round trips of slow storage (a network share, a cold disk) overlap instead
// of adding up. Tasks run in no promised order: whoever submits them puts
// each result where it belongs and waits for the ones it needs.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace tandrel {

class IoPool {
 public:
  // How many requests are in flight by default: enough to hide the
  // latency of a network share, few enough not to thrash a spinning disk.
  static constexpr int kDefaultThreads = 8;
  // Asks for as many as the storage suits (see ThreadsFor).
  static constexpr int kFitStorage = 0;
  // About the processor count on a local disk (at least 2), which keeps a
  // warm walk from paying for hand-overs between idle threads; many more on
  // FUSE drivers and network shares, whose round trips are what costs.
  static int ThreadsFor(bool remote);

  // With fewer than two threads every task runs at once on the submitting
  // thread. With a `width` below `threads`, only that many threads start,
  // and the others once the owner calls Widen(): as many threads as
  // processors walk a warm disk best, and more only wait for each other,
  // while a cold disk serves many reads side by side.
  explicit IoPool(int threads = kDefaultThreads, int width = 0);
  IoPool(const IoPool&) = delete;
  IoPool& operator=(const IoPool&) = delete;
  // Runs what was submitted, then stops the threads.
  ~IoPool();

  void Submit(std::function<void()> task);
  // How many threads run tasks once the pool is widened.
  int threads() const { return planned_; }
  // Starts every thread the pool was made for. Only the pool's owner calls
  // it.
  void Widen();

 private:
  void Work();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> tasks_;
  bool stopping_ = false;
  int planned_ = 0;
  std::vector<std::thread> threads_;
};

// Counts the tasks of one job that are still running, so that the job can
// wait for its own tasks in a pool that others share.
class TaskCount {
 public:
  // Submits `task` to `pool`, counted.
  void Submit(IoPool& pool, std::function<void()> task);
  // Waits until every counted task has finished.
  void Wait() { WaitBelow(1); }
  // Waits until fewer than `count` counted tasks are running.
  void WaitBelow(int count);

 private:
  std::mutex mutex_;
  std::condition_variable done_;
  int running_ = 0;
};

}  // namespace tandrel
