#include "sync/row_pipeline.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "platform/system.h"

namespace tandrel {
namespace {

// Rows are committed in batches of at most this many rows and bytes; each
// row of a batch holds its copy open, and its folder: a batch takes at most
// a quarter of what the process may have open.
constexpr size_t kBatchRows = 256;
constexpr int kBatchShareOfFiles = 8;
constexpr std::int64_t kBatchBytes = std::int64_t{64} << 20;
// Where each new name is searched for through its folder (FAT), a batch's
// temporaries make every name after them cost more: a whole batch of them
// made a sync onto a FAT stick through fusefat take half as long again.
constexpr size_t kBatchRowsAmongShortNames = 16;

}  // namespace

size_t RowPipeline::BatchRows() {
  return std::clamp<size_t>(static_cast<size_t>(OpenFileLimit() / kBatchShareOfFiles), 1,
                            kBatchRows);
}

bool RowPipeline::BatchDue() {
  std::lock_guard lock(mutex_);
  return one_at_a_time_ || queue_.size() >= batch_rows_ || ready_bytes_ >= kBatchBytes ||
         ready_among_short_names_ >= kBatchRowsAmongShortNames;
}

void RowPipeline::Dispatch(std::unique_ptr<Job> job) {
  Job& j = *job;
  queue_.push_back(std::move(job));
  tasks_.Submit(pool_, [this, &j] {
    std::optional<std::string> failure = prepare_(j);
    std::lock_guard lock(mutex_);
    j.failure = std::move(failure);
    j.state = RowState::kWritten;
    if (!j.failure) {
      ready_bytes_ += j.copy.source.stamp.size;
      if (j.storage.short_names) ++ready_among_short_names_;
    }
    changed_.notify_all();
  });
  std::unique_lock lock(mutex_);
  const size_t ahead = one_at_a_time_ ? 1 : static_cast<size_t>(std::max(1, pool_.threads()));
  changed_.wait(lock, [&] { return InFlightLocked() < ahead; });
}

size_t RowPipeline::InFlightLocked() const {
  return static_cast<size_t>(std::count_if(queue_.begin(), queue_.end(), [](const auto& job) {
    return job->state == RowState::kWriting;
  }));
}

size_t RowPipeline::InFlight() {
  std::lock_guard lock(mutex_);
  return InFlightLocked();
}

size_t RowPipeline::ReadyAhead() {
  constexpr auto kMoment = std::chrono::seconds(1);
  const auto written = [](const auto& job) { return job->state != RowState::kWriting; };
  std::unique_lock lock(mutex_);
  const auto all_written = [&] { return std::all_of(queue_.begin(), queue_.end(), written); };
  if (changed_.wait_for(lock, kMoment, all_written)) return queue_.size();
  changed_.wait(lock, [&] { return written(queue_.front()); });
  size_t count = 0;
  while (count < queue_.size() && written(queue_[count])) ++count;
  return count;
}

Batch RowPipeline::Take(size_t count) {
  const auto end = queue_.begin() + static_cast<std::ptrdiff_t>(count);
  {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] {
      return std::all_of(queue_.begin(), end,
                         [](const auto& job) { return job->state != RowState::kWriting; });
    });
  }
  Batch batch(std::make_move_iterator(queue_.begin()), std::make_move_iterator(end));
  queue_.erase(queue_.begin(), end);
  std::lock_guard lock(mutex_);
  for (const auto& job : batch) {
    if (!job->failure) {
      ready_bytes_ -= job->copy.source.stamp.size;
      if (job->storage.short_names) --ready_among_short_names_;
    }
  }
  return batch;
}

template <typename Jobs>
void RowPipeline::DiscardAll(Jobs& jobs) {
  TaskCount removing;
  for (auto& job : jobs) {
    if (job->folder != nullptr && !job->copy.name.empty()) {
      removing.Submit(pool_, [this, &job = *job] { Discard(job); });
    }
  }
  removing.Wait();
}

template void RowPipeline::DiscardAll(std::deque<std::unique_ptr<Job>>& jobs);
template void RowPipeline::DiscardAll(Batch& jobs);

void RowPipeline::Discard(Job& job) {
  if (job.folder == nullptr) return;
  DeleteFileQuiet(fs_, *job.folder, job.copy);
  if (job.copy.name.empty()) return;
  std::lock_guard lock(mutex_);
  unremoved_.push_back({job.folder, std::exchange(job.copy.name, {}),
                        std::string(job.target_folder), job.storage.remote});
}

void RowPipeline::Restart() {
  tasks_.Wait();
  DiscardQueued();
  queue_.clear();
  ready_bytes_ = 0;
  ready_among_short_names_ = 0;
  one_at_a_time_ = true;
}

void RowPipeline::RemoveLeftBehind() {
  // A local disk answers at once; a share may be away for a few seconds.
  constexpr std::chrono::milliseconds kWaits[] = {
      std::chrono::milliseconds(0),    std::chrono::milliseconds(250),
      std::chrono::milliseconds(500),  std::chrono::milliseconds(1000),
      std::chrono::milliseconds(1500), std::chrono::milliseconds(2000)};
  const auto on_share = [](const Unremoved& copy) { return copy.remote; };
  for (const std::chrono::milliseconds wait : kWaits) {
    if (wait.count() > 0 && std::none_of(unremoved_.begin(), unremoved_.end(), on_share)) break;
    std::this_thread::sleep_for(wait);
    std::erase_if(unremoved_, [&](const Unremoved& copy) {
      OpenFile let_go;
      const std::error_code ec = fs_.RemoveTemporary(*copy.folder, copy.name, let_go);
      return !ec || ec == std::errc::no_such_file_or_directory;
    });
  }
  for (const Unremoved& copy : unremoved_) report_.LeftBehind(copy.folder_text + copy.name);
}

}  // namespace tandrel
