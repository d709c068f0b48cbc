// The run's records in the trees it writes into: made before the first
// row, the files an overwrite replaces kept there (see run_record.h), old
// runs removed after `keep_days`, and the oldest removed when a disk fills.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/file_system.h"
#include "sync/compared_trees.h"
#include "sync/run_record.h"
#include "sync/sync_report.h"

namespace tandrel {

// The heading of a new run between the trees of `trees`, as tree `index`
// records it.
RunHeading HeadingFor(ComparedTrees& trees, int index, const std::string& id,
                      std::int64_t utc_seconds, std::int64_t sequence, bool undo,
                      std::string temporaries = {});

class RunKeeping {
 public:
  // `temporaries` is what the names of the run's temporary files begin with.
  RunKeeping(FileSystem& fs, ComparedTrees& trees, int keep_days, std::int64_t started,
             std::string temporaries);

  // Before the first row: in each tree that rows write into, removes what
  // was kept there too long ago, and makes the run's record (making room
  // first where the disk is full). One id in both trees, so that undo
  // finds the run's two halves.
  void Start(const bool receives[2], SyncReport& report);
  // After the last row: ends each record; a record in which nothing was
  // done goes.
  void End();

  // The record of the tree `target` lies in; none where nothing is kept.
  RunRecord* RecordOf(std::string_view target);
  // Why the tree of `target` keeps nothing, where it keeps nothing.
  std::string WhyNotKept(std::string_view target);
  // Why no row may write into the tree of `target`: its record could not be
  // made or written, and a failed flush is not tried again.
  std::optional<std::string> Refusal(std::string_view target);
  // Gives up the record of that tree (its journal could not be written).
  void Drop(std::string_view target, const std::error_code& why);
  bool keeps() const { return keep_days_ > 0; }
  // The run is about to write temporaries in the folder `folder_text` (see
  // RunRecord::NoteFolder).
  void NoteFolder(std::string_view folder_text);

  // The disk of `target` is full: removes the oldest run kept in its tree
  // (never this one) and tells `report` where it was; false when there is
  // none.
  bool MakeRoom(std::string_view target, SyncReport& report);

 private:
  int IndexOf(std::string_view target);
  void MakeRecord(int index, SyncReport& report);

  FileSystem& fs_;
  ComparedTrees& trees_;
  const int keep_days_;
  const std::int64_t started_;
  std::string id_;
  const std::string temporaries_;
  std::int64_t sequence_ = 0;
  std::unique_ptr<RunRecord> records_[2];
  std::string why_not_[2];
  std::error_code broken_[2];
};

}  // namespace tandrel
