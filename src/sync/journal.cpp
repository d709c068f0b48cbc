#include "sync/journal.h"

#include <charconv>

#include "sync/check_copy.h"

namespace tandrel {
namespace {

constexpr std::string_view kJournalHeading = "tandrel journal 1\n";
constexpr std::string_view kKeepWord = "keep";
constexpr std::string_view kPutWord = "put";

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

}  // namespace

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

std::error_code BeginJournal(FileSystem& fs, const Folder& run, OpenFile* journal) {
  if (std::error_code ec = fs.CreateTemporary(run, kJournalName, journal)) return ec;
  return fs.AppendText(*journal, kJournalHeading);
}

bool SameAsRecorded(const FileStamp& now, const FileStamp& recorded, const Storage& storage) {
  if (now.size != recorded.size) return false;
  if (!storage.remote && now.file_id != recorded.file_id) return false;
  return SameForCompare(now, recorded, storage);
}

}  // namespace tandrel
