#include "sync/run_record.h"

#include <algorithm>
#include <charconv>
#include <ctime>
#include <tuple>

#include "sync/check_copy.h"

namespace tandrel {
namespace {

constexpr std::string_view kJournalHeading = "tandrel journal 1\n";
constexpr std::string_view kKeepWord = "keep";
constexpr std::string_view kPutWord = "put";
// How many runs may start within one second and still each get a folder.
constexpr int kNameAttempts = 20;

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

// The folder part of a '/'-joined path, and its name.
std::string_view FolderOfPath(std::string_view path) {
  const size_t cut = path.rfind('/');
  return cut == std::string_view::npos ? std::string_view() : path.substr(0, cut);
}

}  // namespace

std::string RunName(std::int64_t unix_seconds) {
  const std::time_t t = static_cast<std::time_t>(unix_seconds);
  std::tm local{};
#ifdef _WIN32
  // The C runtime of Windows keeps this result per thread.
  if (const std::tm* now = std::localtime(&t)) local = *now;
#else
  localtime_r(&t, &local);
#endif
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H%M%S", &local);
  return text;
}

std::optional<std::int64_t> RunStart(std::string_view name) {
  // "YYYY-MM-DD HHMMSS", then perhaps " (N)" for a second run in that second.
  if (name.size() < 17 || name[4] != '-' || name[7] != '-' || name[10] != ' ') return std::nullopt;
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  if (!ReadNumber(name.substr(0, 4), &year) || !ReadNumber(name.substr(5, 2), &month) ||
      !ReadNumber(name.substr(8, 2), &day) || !ReadNumber(name.substr(11, 2), &hour) ||
      !ReadNumber(name.substr(13, 2), &minute) || !ReadNumber(name.substr(15, 2), &second)) {
    return std::nullopt;
  }
  std::tm local{};
  local.tm_year = year - 1900;
  local.tm_mon = month - 1;
  local.tm_mday = day;
  local.tm_hour = hour;
  local.tm_min = minute;
  local.tm_sec = second;
  local.tm_isdst = -1;
  const std::time_t t = std::mktime(&local);
  if (t == static_cast<std::time_t>(-1)) return std::nullopt;
  return static_cast<std::int64_t>(t);
}

bool RunBefore(std::string_view a, std::string_view b) {
  // By start, then "(2)" before "(10)".
  return std::tuple(*RunStart(a), a.size(), a) < std::tuple(*RunStart(b), b.size(), b);
}

std::string KeptName(std::string_view name) { return "~" + std::string(name); }

std::string JournalLine(const JournalEntry& entry) {
  const FileStamp& s = entry.stamp;
  return std::string(entry.kind == JournalEntry::kKeep ? kKeepWord : kPutWord) + '\t' +
         Escaped(entry.path) + '\t' + std::to_string(s.size) + '\t' +
         std::to_string(s.write_seconds) + '\t' + std::to_string(s.write_nanoseconds) + '\t' +
         std::to_string(s.file_id) + '\n';
}

std::vector<JournalEntry> ParseJournal(std::string_view text) {
  std::vector<JournalEntry> entries;
  if (!text.starts_with(kJournalHeading)) return entries;
  text.remove_prefix(kJournalHeading.size());
  while (!text.empty()) {
    const size_t end = text.find('\n');
    if (end == std::string_view::npos) break;  // cut short by a crash
    const std::vector<std::string_view> f = Fields(text.substr(0, end));
    text.remove_prefix(end + 1);
    JournalEntry entry;
    if (f.size() != 6 || (f[0] != kKeepWord && f[0] != kPutWord) || f[1].empty() ||
        !ReadNumber(f[2], &entry.stamp.size) || !ReadNumber(f[3], &entry.stamp.write_seconds) ||
        !ReadNumber(f[4], &entry.stamp.write_nanoseconds) ||
        !ReadNumber(f[5], &entry.stamp.file_id)) {
      continue;
    }
    entry.kind = f[0] == kKeepWord ? JournalEntry::kKeep : JournalEntry::kPut;
    entry.path = Unescaped(f[1]);
    entries.push_back(std::move(entry));
  }
  return entries;
}

bool SameAsRecorded(const FileStamp& now, const FileStamp& recorded, const Storage& storage) {
  if (now.size != recorded.size) return false;
  if (!storage.remote && now.file_id != recorded.file_id) return false;
  return SameForCompare(now, recorded, storage);
}

RunRecord::RunRecord(FileSystem& fs, std::shared_ptr<const Folder> top, Storage storage,
                     std::string run_name)
    : fs_(fs), top_(std::move(top)), storage_(storage), run_name_(std::move(run_name)) {}

void RunRecord::NoteKeep(std::string_view path, const FileStamp& old) {
  pending_ += JournalLine({JournalEntry::kKeep, std::string(path), old});
  noted_ = true;
}

void RunRecord::NotePut(std::string_view path, const FileStamp& copy) {
  pending_ += JournalLine({JournalEntry::kPut, std::string(path), copy});
  noted_ = true;
}

void RunRecord::Remove() {
  if (run_folder_ == nullptr) return;
  journal_.Reset();
  kept_folders_.clear();
  run_folder_.reset();
  RemoveRun(fs_, *top_, run_name_);
}

std::error_code RunRecord::RunFolder(std::shared_ptr<const Folder>* folder) {
  if (run_folder_ != nullptr) {
    *folder = run_folder_;
    return {};
  }
  Folder record;
  if (std::error_code ec = fs_.MakeFolder(*top_, kRecordFolder, /*hidden=*/true, &record)) {
    return ec;
  }
  Folder replaced;
  if (std::error_code ec = fs_.MakeFolder(record, kReplacedFolder, false, &replaced)) return ec;
  // A run that began in the same second has that name: the next is tried.
  for (int attempt = 1; attempt <= kNameAttempts; ++attempt) {
    const std::string name =
        attempt == 1 ? run_name_ : run_name_ + " (" + std::to_string(attempt) + ")";
    auto run = std::make_shared<Folder>();
    if (std::error_code ec = fs_.MakeFolder(replaced, name, false, run.get())) return ec;
    const std::error_code ec = fs_.CreateTemporary(*run, kJournalName, &journal_);
    if (ec == std::errc::file_exists) continue;
    if (ec) return ec;
    if (std::error_code ec = fs_.AppendText(journal_, kJournalHeading)) return ec;
    // The run's folder and its journal are there to stay before anything
    // is moved into them.
    const Folder* const made[] = {run.get(), &replaced, &record, top_.get()};
    for (const Folder* folder : made) {
      if (std::error_code ec = fs_.FlushFolder(*folder)) return ec;
    }
    run_name_ = name;
    run_folder_ = std::move(run);
    *folder = run_folder_;
    return {};
  }
  return std::make_error_code(std::errc::file_exists);
}

std::error_code RunRecord::Flush() {
  if (pending_.empty()) return {};
  std::shared_ptr<const Folder> run;
  if (std::error_code ec = RunFolder(&run)) return ec;
  if (std::error_code ec = fs_.AppendText(journal_, pending_)) return ec;
  pending_.clear();
  OpenFile* const file = &journal_;
  size_t failed = 0;
  return fs_.FlushFiles({&file, 1}, &failed);
}

std::error_code RunRecord::KeptFolderOf(std::string_view path,
                                        std::shared_ptr<const Folder>* folder) {
  const std::string_view folder_path = FolderOfPath(path);
  if (auto found = kept_folders_.find(folder_path); found != kept_folders_.end()) {
    *folder = found->second;
    return {};
  }
  std::shared_ptr<const Folder> at;
  if (std::error_code ec = RunFolder(&at)) return ec;
  for (std::string_view rest = folder_path; !rest.empty();) {
    const size_t cut = rest.find('/');
    auto next = std::make_shared<Folder>();
    if (std::error_code ec = fs_.MakeFolder(*at, rest.substr(0, cut), false, next.get())) {
      return ec;
    }
    at = std::move(next);
    rest = cut == std::string_view::npos ? std::string_view() : rest.substr(cut + 1);
  }
  kept_folders_.emplace(std::string(folder_path), at);
  *folder = std::move(at);
  return {};
}

std::error_code RunRecord::Keep(const Folder& folder, std::string_view path,
                                std::string_view name) {
  std::shared_ptr<const Folder> kept;
  {
    std::lock_guard lock(mutex_);
    if (std::error_code ec = KeptFolderOf(path, &kept)) return ec;
  }
  if (std::error_code ec = fs_.MoveBetween(folder, name, *kept, KeptName(name), false)) return ec;
  std::lock_guard lock(mutex_);
  if (std::find(unflushed_.begin(), unflushed_.end(), kept) == unflushed_.end()) {
    unflushed_.push_back(std::move(kept));
  }
  return {};
}

std::error_code RunRecord::FlushKept() {
  while (!unflushed_.empty()) {
    if (std::error_code ec = fs_.FlushFolder(*unflushed_.back())) return ec;
    unflushed_.pop_back();
  }
  return {};
}

std::error_code RunRecord::PutBack(const Folder& folder, std::string_view path,
                                   std::string_view name) {
  std::shared_ptr<const Folder> kept;
  {
    std::lock_guard lock(mutex_);
    if (std::error_code ec = KeptFolderOf(path, &kept)) return ec;
  }
  return fs_.MoveBetween(*kept, KeptName(name), folder, name, /*replace=*/false);
}

std::error_code OpenReplaced(FileSystem& fs, const Folder& top, Folder* record, Folder* replaced) {
  if (std::error_code ec = fs.OpenFolder(top, kRecordFolder, record)) return ec;
  return fs.OpenFolder(*record, kReplacedFolder, replaced);
}

std::string RunFolderText(std::string_view top_text, std::string_view run) {
  std::string text(top_text);
  for (std::string_view part : {kRecordFolder, kReplacedFolder}) {
    text.append(part).push_back(kSeparator);
  }
  return text.append(run);
}

bool RunExists(FileSystem& fs, const Folder& top, std::string_view name) {
  Folder record;
  Folder replaced;
  Folder run;
  return !OpenReplaced(fs, top, &record, &replaced) && !fs.OpenFolder(replaced, name, &run);
}

namespace {

// The runs in the opened `.tandrel/replaced` folder, oldest first.
std::vector<std::string> RunsInReplaced(FileSystem& fs, const Folder& replaced) {
  std::vector<DirEntry> entries;
  if (fs.List(replaced, &entries)) return {};
  std::vector<std::string> runs;
  for (const DirEntry& entry : entries) {
    if (entry.kind == EntryKind::kFolder && RunStart(entry.name)) runs.push_back(entry.name);
  }
  std::sort(runs.begin(), runs.end(), RunBefore);
  return runs;
}

}  // namespace

std::vector<std::string> RunsIn(FileSystem& fs, const Folder& top) {
  Folder record;
  Folder replaced;
  if (OpenReplaced(fs, top, &record, &replaced)) return {};
  return RunsInReplaced(fs, replaced);
}

bool RemoveTree(FileSystem& fs, const Folder& parent, std::string_view name) {
  Folder folder;
  std::vector<DirEntry> entries;
  if (fs.OpenFolder(parent, name, &folder) || fs.List(folder, &entries)) return false;
  bool all = true;
  for (const DirEntry& entry : entries) {
    if (entry.kind == EntryKind::kFolder) {
      all = RemoveTree(fs, folder, entry.name) && all;
      continue;
    }
    bool removed = false;
    all = !fs.RemoveIfNotHeld(folder, entry.name, &removed) && removed && all;
  }
  folder.Reset();
  return all && !fs.RemoveEmptyFolder(parent, name);
}

std::vector<std::string> RemoveRunsBefore(FileSystem& fs, const Folder& top, std::int64_t before,
                                          std::string_view spare) {
  std::vector<std::string> removed;
  Folder record;
  Folder replaced;
  if (OpenReplaced(fs, top, &record, &replaced)) return removed;
  for (const std::string& run : RunsInReplaced(fs, replaced)) {
    if (run == spare || *RunStart(run) >= before) continue;
    if (RemoveTree(fs, replaced, run)) removed.push_back(run);
  }
  if (!removed.empty()) (void)fs.FlushFolder(replaced);
  return removed;
}

void RemoveRun(FileSystem& fs, const Folder& top, std::string_view name) {
  // Each folder is let go of before it is removed: Windows removes a folder
  // only once nobody holds it.
  Folder record;
  Folder replaced;
  if (OpenReplaced(fs, top, &record, &replaced) || !RemoveTree(fs, replaced, name)) return;
  replaced.Reset();
  if (fs.RemoveEmptyFolder(record, kReplacedFolder)) return;
  record.Reset();
  (void)fs.RemoveEmptyFolder(top, kRecordFolder);
}

}  // namespace tandrel
