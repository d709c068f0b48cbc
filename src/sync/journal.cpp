#include "sync/journal.h"

#include <charconv>

#include "sync/check_copy.h"

namespace tandrel {
namespace {

constexpr std::string_view kJournalHeading = "tandrel journal 2\n";

struct KindWord {
  JournalEntry::Kind kind;
  std::string_view word;
  size_t fields;  // after the word
};
constexpr KindWord kKinds[] = {
    {JournalEntry::kKeep, "keep", 6},     {JournalEntry::kUnkept, "unkept", 5},
    {JournalEntry::kPut, "put", 6},       {JournalEntry::kDone, "done", 1},
    {JournalEntry::kNot, "not", 1},       {JournalEntry::kUndone, "undone", 1},
    {JournalEntry::kFolder, "folder", 1}, {JournalEntry::kMount, "mount", 1},
};

std::string Escaped(std::string_view text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '%':
        out += "%25";
        break;
      case '\t':
        out += "%09";
        break;
      case '\n':
        out += "%0A";
        break;
      case '\r':
        out += "%0D";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string Unescaped(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      const std::string_view code = text.substr(i + 1, 2);
      if (code == "25") out += '%';
      if (code == "09") out += '\t';
      if (code == "0A") out += '\n';
      if (code == "0D") out += '\r';
      i += 2;
      continue;
    }
    out += text[i];
  }
  return out;
}

template <typename Number>
bool ReadNumber(std::string_view text, Number* number) {
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *number);
  return ec == std::errc() && end == text.data() + text.size();
}

std::vector<std::string_view> Fields(std::string_view line) {
  std::vector<std::string_view> fields;
  for (;;) {
    const size_t tab = line.find('\t');
    fields.push_back(line.substr(0, tab));
    if (tab == std::string_view::npos) return fields;
    line.remove_prefix(tab + 1);
  }
}

std::string StampText(const FileStamp& s) {
  return std::to_string(s.size) + '\t' + std::to_string(s.write_seconds) + '\t' +
         std::to_string(s.write_nanoseconds) + '\t' + std::to_string(s.file_id);
}

bool ReadStamp(const std::string_view* f, FileStamp* s) {
  return ReadNumber(f[0], &s->size) && ReadNumber(f[1], &s->write_seconds) &&
         ReadNumber(f[2], &s->write_nanoseconds) && ReadNumber(f[3], &s->file_id);
}

// The whole lines of `text`, each without its line end; what follows the
// last line end was cut short by a crash.
std::vector<std::string_view> WholeLines(std::string_view text) {
  std::vector<std::string_view> lines;
  for (size_t end; (end = text.find('\n')) != std::string_view::npos;) {
    lines.push_back(text.substr(0, end));
    text.remove_prefix(end + 1);
  }
  return lines;
}

bool ReadHeading(const std::vector<std::string_view>& lines, RunHeading* h) {
  if (lines.size() < 3) return false;
  const std::vector<std::string_view> run = Fields(lines[0]);
  const std::vector<std::string_view> tree = Fields(lines[1]);
  const std::vector<std::string_view> other = Fields(lines[2]);
  if (run.size() != 7 || run[0] != "run" || run[1].empty() || tree.size() != 3 ||
      tree[0] != "tree" || other.size() != 3 || other[0] != "other" ||
      !ReadNumber(run[2], &h->utc_seconds) || !ReadNumber(run[3], &h->sequence) ||
      (run[4] != "sync" && run[4] != "undo")) {
    return false;
  }
  h->id = run[1];
  h->undo = run[4] == "undo";
  h->computer = Unescaped(run[5]);
  h->temporaries = Unescaped(run[6]);
  h->tree_id = Unescaped(tree[1]);
  h->tree_text = Unescaped(tree[2]);
  h->other_id = Unescaped(other[1]);
  h->other_text = Unescaped(other[2]);
  return true;
}

bool ReadEntry(std::string_view line, JournalEntry* entry) {
  const std::vector<std::string_view> f = Fields(line);
  for (const KindWord& k : kKinds) {
    if (f[0] != k.word) continue;
    if (f.size() != k.fields + 1 || f[1].empty()) return false;
    entry->kind = k.kind;
    entry->path = Unescaped(f[1]);
    if (k.kind == JournalEntry::kUnkept) return ReadStamp(&f[2], &entry->stamp);
    if (k.fields == 6) {
      entry->name = Unescaped(f[2]);
      return ReadStamp(&f[3], &entry->stamp);
    }
    return true;
  }
  return false;
}

}  // namespace

std::string HeadingText(const RunHeading& h) {
  return std::string(kJournalHeading) + "run\t" + h.id + '\t' + std::to_string(h.utc_seconds) +
         '\t' + std::to_string(h.sequence) + '\t' + (h.undo ? "undo" : "sync") + '\t' +
         Escaped(h.computer) + '\t' + Escaped(h.temporaries) + "\ntree\t" + Escaped(h.tree_id) +
         '\t' + Escaped(h.tree_text) + "\nother\t" + Escaped(h.other_id) + '\t' +
         Escaped(h.other_text) + '\n';
}

std::string JournalLine(const JournalEntry& entry) {
  std::string line(kKinds[entry.kind].word);
  line += '\t' + Escaped(entry.path);
  if (entry.kind == JournalEntry::kKeep || entry.kind == JournalEntry::kPut) {
    line += '\t' + Escaped(entry.name);
  }
  if (entry.kind <= JournalEntry::kPut) line += '\t' + StampText(entry.stamp);
  return line + '\n';
}

bool ParseJournal(std::string_view text, Journal* journal) {
  *journal = Journal{};
  if (!text.starts_with(kJournalHeading)) return false;
  text.remove_prefix(kJournalHeading.size());
  const std::vector<std::string_view> lines = WholeLines(text);
  if (!ReadHeading(lines, &journal->heading)) return false;
  for (size_t i = 3; i < lines.size(); ++i) {
    if (lines[i] == kEndLine.substr(0, kEndLine.size() - 1)) {
      journal->ended = true;
      continue;
    }
    JournalEntry entry;
    if (ReadEntry(lines[i], &entry)) journal->entries.push_back(std::move(entry));
  }
  return true;
}

bool ReadJournal(FileSystem& fs, const Folder& run, Journal* journal) {
  std::string text;
  return !fs.ReadText(run, kJournalName, &text) && ParseJournal(text, journal);
}

std::vector<std::string> ReadMounts(FileSystem& fs, const Folder& run) {
  std::string text;
  std::vector<std::string> mounts;
  if (fs.ReadText(run, kMountsName, &text)) return mounts;
  for (const std::string_view line : WholeLines(text)) {
    JournalEntry entry;
    if (ReadEntry(line, &entry) && entry.kind == JournalEntry::kMount) {
      mounts.push_back(std::move(entry.path));
    }
  }
  return mounts;
}

std::error_code BeginJournal(FileSystem& fs, const Folder& run, const RunHeading& heading,
                             OpenFile* journal) {
  if (std::error_code ec = fs.CreateTemporary(run, kJournalName, journal)) return ec;
  return fs.AppendText(*journal, HeadingText(heading));
}

void MarkEnded(FileSystem& fs, const Folder& run) {
  OpenFile marker;
  if (!fs.CreateTemporary(run, kEndedName, &marker)) (void)fs.CloseTemporary(marker, false);
}

bool MarkedEnded(FileSystem& fs, const Folder& run) {
  FileInfo info;
  return !fs.StatAt(run, kEndedName, FollowLinks::kNo, &info);
}

std::error_code AddToJournal(FileSystem& fs, const Folder& run, OpenFile& journal,
                             std::string_view text) {
  OpenFile* flushed = &journal;
  size_t failed = 0;
  std::error_code ec = fs.AppendText(journal, text);
  if (!ec) return fs.FlushFiles({&flushed, 1}, &failed);
  if (ec != std::errc::operation_not_permitted && ec != std::errc::operation_not_supported) {
    return ec;
  }
  constexpr std::string_view kAnew = "~journal.tmp";
  std::string whole;
  if ((ec = fs.ReadText(run, kJournalName, &whole))) return ec;
  whole += text;
  bool removed = false;
  (void)fs.RemoveIfNotHeld(run, kAnew, &removed);  // left by an attempt cut short
  OpenFile anew;
  if ((ec = fs.CreateTemporary(run, kAnew, &anew))) return ec;
  flushed = &anew;
  if ((ec = fs.AppendText(anew, whole)) || (ec = fs.FlushFiles({&flushed, 1}, &failed)) ||
      (ec = fs.RenameTemporary(run, kAnew, anew, kJournalName, /*replace=*/true))) {
    (void)fs.RemoveTemporary(run, kAnew, anew);
    return ec;
  }
  journal = std::move(anew);
  return fs.FlushFolder(run);
}

bool SameAsRecorded(const FileStamp& now, const FileStamp& recorded, const Storage& storage) {
  if (now.size != recorded.size) return false;
  if (storage.keeps_file_ids && !storage.remote && now.file_id != recorded.file_id) return false;
  // As the compare sees it: on FAT a whole-hour shift of a file of the same
  // length is a time-zone or summer-time change, not an edit.
  return SameForCompare(now, recorded, storage, /*same_size=*/true);
}

}  // namespace tandrel
