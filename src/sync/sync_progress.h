// How far a running sync has got, and the words that show it: written by
// the sync's threads, read at any moment by a progress window or line.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <utility>

namespace tandrel {

// How long a sync runs before a progress window is worth showing: a short
// one shows none rather than a flash.
inline constexpr std::chrono::milliseconds kProgressDelay{500};
// How often progress is shown anew.
inline constexpr std::chrono::milliseconds kProgressInterval{250};

struct SyncProgress {
  std::atomic<int> rows_total{0};  // the ticked rows
  std::atomic<int> rows_done{0};   // those marked "Done"
  // The sizes of the ticked rows' sources, added up as they are found;
  // `bytes_counted` once all are.
  std::atomic<std::int64_t> bytes_total{0};
  std::atomic<bool> bytes_counted{false};
  // Written to temporaries so far (a copy written again counts again).
  std::atomic<std::int64_t> bytes_copied{0};

  // The file whose copy began last.
  void SetFile(std::string path) {
    std::lock_guard lock(mutex_);
    file_ = std::move(path);
  }
  std::string File() const {
    std::lock_guard lock(mutex_);
    return file_;
  }

 private:
  mutable std::mutex mutex_;
  std::string file_;
};

// What a progress window or line shows at one moment.
struct ProgressView {
  std::string rows;   // "1,204 of 3,000 rows"
  std::string bytes;  // "120 MB of 2.0 GB, 11.8 MB/s, about 3 minutes left"
  std::string file;   // the file being copied
  int per_mille = 0;  // of the bytes, for a bar; of the rows until they are counted
};

// Reads SyncProgress into words, keeping the rate over the last few
// seconds so that the time left follows the storage's current speed.
class ProgressMeter {
 public:
  using Clock = std::chrono::steady_clock;
  ProgressView Read(const SyncProgress& progress, Clock::time_point now = Clock::now());

 private:
  std::deque<std::pair<Clock::time_point, std::int64_t>> samples_;
};

// 1204 -> "1,204".
std::string WithThousands(std::int64_t number);
// A size for people: "512 bytes", "340 KB", "12.5 MB", "2.0 GB" (powers of 1024).
std::string SizeText(std::int64_t bytes);
// What the user is told after stopping a sync: "Stopped. 1,204 of 3,000
// rows were done."
std::string StoppedMessage(int done, int total);

}  // namespace tandrel
