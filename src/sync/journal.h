// The journal of one run in one tree (`journal.txt` in the run's folder, see
// run_folder.h): a write-ahead log of what the run is about to do there, then
// of what each row did.
//
// It is text, one record a line, fields split by tabs, paths '/'-joined
// below the tree's top with '%', tab and line ends written as %25, %09,
// %0A, %0D:
//
//   tandrel journal 2
//   run     <id>  <UTC seconds>  <sequence>  sync|undo  <computer>  <temporaries>
//   tree    <id of this tree's top folder>  <its path as shown>
//   other   <id of the other tree's top folder>  <its path as shown>
//   folder  <path>                         the run writes temporaries there
//   keep    <path>  <kept name>  <stamp>   what stands at <path> goes aside
//   unkept  <path>  <stamp>                it is replaced without keeping
//   put     <path>  <temporary>  <stamp>   the copy that takes its place
//   done    <path>                         the row above took place
//   not     <path>                         it did not: all is as before
//   undone  <path>                         a later undo took it back
//   end                                    the run ended
//
// Beside it, `mounts.txt` lists in lines `mount <path>` the folders below
// the top where the run keeps files in a folder of its own name too (see
// run_folder.h); each line is flushed before a file is moved there.
//
// A stamp is four fields: size, write seconds, nanoseconds, file id. Intents
// (keep, unkept, put) are written and flushed before the renames of their
// batch, outcomes after the batch's folders are flushed; a run without its
// end line, or with intents and no outcome, was cut short, and the next run
// recovers it (recovery.h) before anything else.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "platform/file_system.h"

namespace tandrel {

inline constexpr std::string_view kJournalName = "journal.txt";

// Who a run was and which two trees it synced.
struct RunHeading {
  std::string id;  // random, hexadecimal
  std::int64_t utc_seconds = 0;
  std::int64_t sequence = 0;  // one more than any run the two trees held
  bool undo = false;          // an undo, itself a run that can be undone
  std::string computer;       // where it ran
  std::string temporaries;    // what the names of its temporary files begin with
  std::string tree_id;        // this tree's top folder (see FolderIdentity)
  std::string tree_text;
  std::string other_id;  // the other tree's
  std::string other_text;
};

struct JournalEntry {
  enum Kind { kKeep, kUnkept, kPut, kDone, kNot, kUndone, kFolder, kMount } kind;
  std::string path;  // below the tree's top, '/'-joined
  std::string name;  // keep: the kept file's name; put: the temporary's
  FileStamp stamp;   // size, write time and file id (no device)
};

struct Journal {
  RunHeading heading;
  std::vector<JournalEntry> entries;
  bool ended = false;
};

std::string HeadingText(const RunHeading& heading);
std::string JournalLine(const JournalEntry& entry);
inline constexpr std::string_view kEndLine = "end\n";

// Reads a journal's text; false when it is not a journal this program
// writes. Lines that do not read whole (the last, after a crash) are left
// out.
bool ParseJournal(std::string_view text, Journal* journal);

// Reads the journal of the run folder `run`; false when it has none this
// program can read.
bool ReadJournal(FileSystem& fs, const Folder& run, Journal* journal);

// Makes the journal in the run's folder `run` and writes its heading; it is
// held open in `journal` for the lines that follow, and while it is, no
// other program takes the run for one that was cut short.
// std::errc::file_exists when the folder has one.
std::error_code BeginJournal(FileSystem& fs, const Folder& run, const RunHeading& heading,
                             OpenFile* journal);

inline constexpr std::string_view kMountsName = "mounts.txt";
// The folders `mounts.txt` of the run folder `run` lists (none without it).
std::vector<std::string> ReadMounts(FileSystem& fs, const Folder& run);

// Beside a journal that has its end line, a run leaves an empty file of
// this name, so that a later run need not read a long journal to know that
// it ended. Only its presence counts; without it, the journal tells.
inline constexpr std::string_view kEndedName = "ended";
// Leaves that file (best effort: without it the journal is read).
void MarkEnded(FileSystem& fs, const Folder& run);
// True when the run folder `run` has that file.
bool MarkedEnded(FileSystem& fs, const Folder& run);

// Adds `text` at the end of the journal of the run folder `run`, opened
// and held as `journal` by OpenToAppend, and flushes it. A driver that
// cannot add to a file once it was closed (fusefat) gets the journal
// written anew beside it and renamed over it.
std::error_code AddToJournal(FileSystem& fs, const Folder& run, OpenFile& journal,
                             std::string_view text);

// True when `now` is the file a journal entry describes: the same size and
// write time (as a compare on `storage` sees times), and the same file id
// where the storage keeps ids across mounts.
bool SameAsRecorded(const FileStamp& now, const FileStamp& recorded, const Storage& storage);

}  // namespace tandrel
