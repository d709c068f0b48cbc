// Undoing a run from what it recorded in each tree (see run_record.h):
// every copy it put in place is moved aside, and gives way to the file it
// replaced, as long as it is still exactly what the run put there; files
// changed since are left alone and named. An undo is itself a run with a
// record: what it moves aside is kept there, so that an undo can be undone
// and nothing that stood before it is gone after it. Everything is reached
// from the two top folders one folder at a time, checked right before it
// is moved, and flushed.
#pragma once

#include <cstdint>
#include <stop_token>
#include <string>
#include <system_error>
#include <vector>

#include "platform/file_system.h"

namespace tandrel {

struct RecordedRun {
  std::string name;  // its folder's: "2026-12-07 171000Z 12 3fa9c1d2"
  std::string id;
  std::int64_t utc_seconds = 0;
  std::int64_t sequence = 0;
  bool undo = false;  // it undid another run
  int rows = 0;       // paths it put in place or removed, in both trees
  std::int64_t bytes_kept = 0;
  std::string other_folder;  // the other tree, as the record names it
  std::string folders[2];    // its folder in each tree, where it has one
};

// The runs recorded between exactly these two trees, oldest first.
std::vector<RecordedRun> RecordedRuns(FileSystem& fs, const std::string& folder1,
                                      const std::string& folder2);

struct UndoReport {
  std::vector<std::string> removed;   // copies taken away (and kept)
  std::vector<std::string> restored;  // files put back where they were
  // What was left as it is, each with the reason.
  std::vector<std::string> left_alone;
  // Runs cut short, recovered first (see recovery.h).
  std::vector<std::string> recovered;
  // A top folder that could not be opened, or a record that could not be
  // written.
  std::error_code error;
  std::string failed_folder;
  bool stopped = false;
};

// Undoes the run `run`, as RecordedRuns told it, between the two trees.
UndoReport UndoRun(FileSystem& fs, const std::string& folder1, const std::string& folder2,
                   const RecordedRun& run, std::stop_token stop = {});

// When a run began, in local time: "2026-12-07 18:10:00".
std::string LocalTimeText(std::int64_t utc_seconds);

}  // namespace tandrel
