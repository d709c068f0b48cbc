// Undoing a sync run from what it recorded in each tree (see run_record.h):
// every copy it put in place is removed, or gives way to the file it
// replaced, as long as it is still exactly what the run put there; files
// changed since are left alone and named. Everything is reached from the
// two top folders one folder at a time, checked right before it is moved,
// and flushed.
#pragma once

#include <cstdint>
#include <string>
#include <system_error>
#include <vector>

#include "platform/file_system.h"

namespace tandrel {

struct RecordedRun {
  std::string name;  // "2026-12-07 181000"
  int rows = 0;      // files the run put in place, in both trees
  std::int64_t bytes_kept = 0;
};

// The runs recorded in the two trees, oldest first.
std::vector<RecordedRun> RecordedRuns(FileSystem& fs, const std::string& folder1,
                                      const std::string& folder2);

struct UndoReport {
  std::vector<std::string> removed;   // copies taken away
  std::vector<std::string> restored;  // files put back where they were
  // What was left as it is, each with the reason.
  std::vector<std::string> left_alone;
  // A top folder that could not be opened.
  std::error_code error;
  std::string failed_folder;
};

// Undoes the run `name` in both trees. Its record goes once everything in
// it is undone; what was left alone keeps it.
UndoReport UndoRun(FileSystem& fs, const std::string& folder1, const std::string& folder2,
                   const std::string& name);

}  // namespace tandrel
