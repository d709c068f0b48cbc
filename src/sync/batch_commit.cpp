#include "sync/batch_commit.h"

#include <algorithm>
#include <string_view>
#include <vector>

#include "sync/prepare_copy.h"
#include "sync/reason.h"

namespace tandrel {

void BatchCommit::Run() {
  StopAfterFailures();
  JournalIntents();
  FlushCopies();
  KeepReplaced();
  PutAllInPlace();
  for (size_t i = 0; i < batch_.size(); ++i) s_.placing.PutBack(*batch_[i]);
  s_.placing.CheckNamesKept(batch_, end_);
  StopAfterFailures();
  MendTimes();
  FlushKept();
  FlushFolders();
}

void BatchCommit::StopAfter(size_t i) {
  if (!s_.keep_going) end_ = std::min(end_, i + 1);
}

void BatchCommit::StopAfterFailures() {
  for (size_t i = 0; i < end_; ++i) {
    if (batch_[i]->failure) StopAfter(i);
  }
}

// Writes what the renames of the batch are about to do into each tree's
// journal, and flushes it, before any of them is made. Where that cannot
// be done, the files replaced are not kept.
void BatchCommit::JournalIntents() {
  std::vector<RunRecord*> touched;
  for (size_t i = 0; i < end_; ++i) {
    Job& job = *batch_[i];
    if (job.failure) continue;
    RunRecord* record = s_.keeping.RecordOf(job.target);
    job.keep = job.overwrite && job.seen.has_value() && !job.target_is_ours;
    if (record == nullptr) {
      if (job.keep && s_.keeping.keeps()) s_.report.NotKept(job.target);
      job.keep = false;
      continue;
    }
    const std::string path = ComparedTrees::PathBelow(*s_.trees.TreeOf(job.target), job.target);
    if (job.keep) record->NoteKeep(path, *job.seen);
    record->NotePut(path, job.put_stamp);
    if (std::find(touched.begin(), touched.end(), record) == touched.end()) {
      touched.push_back(record);
    }
  }
  for (RunRecord* record : touched) {
    if (!record->Flush()) continue;
    std::string_view in_tree;
    for (size_t i = 0; i < end_; ++i) {
      Job& job = *batch_[i];
      if (s_.keeping.RecordOf(job.target) != record) continue;
      in_tree = job.target;
      if (!job.keep) continue;
      job.keep = false;
      s_.report.NotKept(job.target);
    }
    s_.keeping.Drop(in_tree);
  }
}

// Copies still open are flushed together; those on storage that a flush of
// the whole file system does not reach were flushed already.
void BatchCommit::FlushCopies() {
  std::vector<OpenFile*> files;
  std::vector<size_t> owners;
  for (size_t i = 0; i < end_; ++i) {
    if (batch_[i]->failure || batch_[i]->closed()) continue;
    files.push_back(&batch_[i]->copy.file);
    owners.push_back(i);
  }
  size_t unflushed = 0;
  if (std::error_code ec = s_.fs.FlushFiles(files, &unflushed)) {
    // What came after the failed file may not be on disk either.
    for (size_t k = unflushed; k < owners.size(); ++k) {
      Job& job = *batch_[owners[k]];
      job.failure = Sentence(ec);
      job.out_of_space = IsOutOfSpace(ec);
    }
    StopAfter(owners[unflushed]);
  }
}

// On a share each move is a round trip: what the batch's overwrites replace
// there is moved aside side by side on the pool, before the renames. On a
// local disk each is moved in row order, as it is put in place.
void BatchCommit::KeepReplaced() {
  TaskCount moving;
  for (size_t i = 0; i < end_; ++i) {
    Job& job = *batch_[i];
    if (job.keep && job.storage.remote && !job.failure) {
      moving.Submit(s_.pool, [this, &job] { job.failure = s_.placing.MoveAside(job); });
    }
  }
  moving.Wait();
  StopAfterFailures();
}

void BatchCommit::PutAllInPlace() {
  for (size_t i = 0; i < end_; ++i) {
    Job& job = *batch_[i];
    if (job.failure) continue;
    // Stopped: nothing more is put in place; what is, is finished.
    if (s_.stop.stop_requested()) {
      stopped_ = true;
      end_ = i;
      return;
    }
    if (std::optional<std::string> failure = s_.placing.Put(job)) {
      job.failure = std::move(failure);
      StopAfter(i);
    }
  }
}

// Times a driver changed on the rename are set again side by side (those
// of targets a later row replaces were mended as they were placed).
void BatchCommit::MendTimes() {
  TaskCount mending;
  for (size_t i = 0; i < end_; ++i) {
    Job& job = *batch_[i];
    if (job.placed() && job.storage.remote && !s_.placing.Repeated(job)) {
      mending.Submit(s_.pool, [this, &job] { s_.placing.MendTimes(job); });
    }
  }
  mending.Wait();
}

// The folders that files were moved aside into are flushed before the
// folders renamed into: a row is done only when both are.
void BatchCommit::FlushKept() {
  for (size_t i = 0; i < end_; ++i) {
    Job& job = *batch_[i];
    if (!job.kept()) continue;
    if (std::error_code ec = s_.keeping.RecordOf(job.target)->FlushKept()) {
      job.failure =
          "The file it replaced could not be flushed where it is kept, so the row may not "
          "survive a power cut: " +
          Sentence(ec);
      StopAfter(i);
    }
  }
}

void BatchCommit::FlushFolders() {
  std::vector<std::string_view> flushed;
  for (size_t i = 0; i < end_; ++i) {
    Job& job = *batch_[i];
    if (!job.placed()) continue;
    if (std::find(flushed.begin(), flushed.end(), job.target_folder) != flushed.end()) continue;
    if (std::error_code ec = s_.fs.FlushFolder(*job.folder)) {
      // Every row placed in that folder waits for its flush.
      for (size_t k = i; k < end_; ++k) {
        Job& other = *batch_[k];
        if (other.placed() && other.target_folder == job.target_folder) {
          other.failure =
              "The folder " + std::string(job.target_folder) +
              " could not be flushed, so the copy may not survive a power cut: " + Sentence(ec);
        }
      }
      StopAfter(i);
      continue;
    }
    flushed.push_back(job.target_folder);
  }
}

}  // namespace tandrel
