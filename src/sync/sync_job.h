// What passes between the steps of a sync run: one ticked copy or
// overwrite row, from the row to perform, through its prepared copy and the
// batch it is committed in, to its outcome.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_system.h"
#include "platform/window.h"
#include "sync/safe_copy.h"

namespace tandrel {

// Where a row is on its way. Only the run's own thread moves it on, except
// from kWriting to kWritten, which the thread that prepared it does under
// the pipeline's lock.
enum class RowState {
  kWriting,     // its copy is being written on the pool
  kWritten,     // its copy is written (or the row failed on the way)
  kMovedAside,  // what stood at its target is in the run's record
  kPlaced,      // its copy is at its target
  kSuperseded,  // not performed: this run already put a newer file there
};

struct Job {
  // --- The row to perform, as dispatched.
  int position = 0;
  PlanRow row;
  bool overwrite = false;
  std::string target;  // the path the file goes to
  std::string_view target_name;
  std::string_view target_folder;  // as text, ending in a separator
  std::string key;                 // the target as its folder tells names apart
  // This run writes the target before this row.
  bool target_is_ours = false;

  // --- The prepared copy.
  std::shared_ptr<const Folder> folder;  // the target's
  Storage storage;                       // the target folder's
  TemporaryCopy copy;
  // What stood at the target before the copy began (overwrites): the
  // rename goes ahead only if that is still there.
  std::optional<FileStamp> seen;
  // What the copy will be at the target, as the run's journal records it.
  FileStamp put_stamp;

  // --- Its way through the commit.
  RowState state = RowState::kWriting;
  // What stands at the target is to be moved aside into the run's record.
  bool keep = false;
  // It was given a second name there instead, and stays at the target for
  // the copy to replace (kMovedAside all the same).
  bool linked_aside = false;
  // The row's intents are in its tree's journal, under this path.
  bool journalled = false;
  std::string record_path;
  // Why what stood at the target was replaced without keeping it.
  std::string not_kept;

  // --- Its outcome.
  std::optional<std::string> failure;
  bool out_of_space = false;  // the failure was a full disk
  bool time_kept = true;      // the copy carries its source's time

  // On storage that a flush of the whole file system does not reach, the
  // copy was flushed and closed while it was prepared.
  bool closed() const { return storage.remote; }
  bool kept() const {
    return keep && (state == RowState::kMovedAside || state == RowState::kPlaced);
  }
  bool placed() const { return state == RowState::kPlaced; }
};

// Rows committed together, in row order.
using Batch = std::vector<std::unique_ptr<Job>>;

}  // namespace tandrel
