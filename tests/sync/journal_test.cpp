// The run's journal read back: what a crash, a hand edit or a newer program
// may leave in it, and names that carry the journal's own delimiters.
#include "sync/journal.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace tandrel {
namespace {

constexpr char kHeading[] = "tandrel journal 1\n";

// An entry as one comparable line of text.
std::string Shown(const JournalEntry& e) {
  return std::string(e.kind == JournalEntry::kKeep ? "keep" : "put") + " [" + e.path + "] " +
         std::to_string(e.stamp.size) + " " + std::to_string(e.stamp.write_seconds) + " " +
         std::to_string(e.stamp.write_nanoseconds) + " " + std::to_string(e.stamp.file_id);
}

std::vector<std::string> ShownAll(const std::vector<JournalEntry>& entries) {
  std::vector<std::string> shown;
  for (const JournalEntry& e : entries) shown.push_back(Shown(e));
  return shown;
}

TEST(JournalTest, ParseReadsWholeLinesAndLeavesOutTheRest) {
  const std::string h = kHeading;
  const std::string keep = "keep\tsub/x\t12\t1700000000\t5\t42\n";
  const std::string put = "put\tsub/x\t13\t1700000001\t0\t43\n";
  const std::string keep_shown = "keep [sub/x] 12 1700000000 5 42";
  const std::string put_shown = "put [sub/x] 13 1700000001 0 43";
  struct Case {
    const char* what;
    std::string text;
    std::vector<std::string> want;
  };
  const Case cases[] = {
      {"keep then put", h + keep + put, {keep_shown, put_shown}},
      {"heading alone", h, {}},
      {"no heading", keep + put, {}},
      {"a later journal version", "tandrel journal 2\n" + keep, {}},
      {"empty", "", {}},
      {"last line torn by a crash", h + keep + put.substr(0, 10), {keep_shown}},
      {"last line without its line end", h + keep + put.substr(0, put.size() - 1), {keep_shown}},
      {"unknown kind, then a good line", h + "move\tsub/x\t1\t2\t3\t4\n" + put, {put_shown}},
      {"kind in capitals", h + "KEEP\tsub/x\t1\t2\t3\t4\n", {}},
      {"a field short", h + "put\tsub/x\t1\t2\t3\n" + keep, {keep_shown}},
      {"a field more", h + "put\tsub/x\t1\t2\t3\t4\t5\n", {}},
      {"trailing tab", h + "put\tsub/x\t1\t2\t3\t4\t\n", {}},
      {"empty path", h + "put\t\t1\t2\t3\t4\n", {}},
      {"size not a number", h + "put\tx\t1k\t2\t3\t4\n", {}},
      {"empty number", h + "put\tx\t\t2\t3\t4\n", {}},
      {"negative nanoseconds", h + "put\tx\t1\t2\t-3\t4\n", {}},
      {"empty line", h + "\n" + put, {put_shown}},
      {"before 1970", h + "keep\tx\t0\t-86400\t999999999\t0\n", {"keep [x] 0 -86400 999999999 0"}},
      {"escaped delimiters",
       h + "put\ta%09b%0Ac%0Dd%25e\t1\t2\t3\t4\n",
       {"put [a\tb\nc\rd%e] 1 2 3 4"}},
      {"a lone % at the end", h + "put\t50%\t1\t2\t3\t4\n", {"put [50%] 1 2 3 4"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ShownAll(ParseJournal(c.text)), c.want) << c.what;
  }
}

TEST(JournalTest, EveryNameReadsBackAsWritten) {
  constexpr std::int64_t kMaxSize = std::numeric_limits<std::int64_t>::max();
  constexpr std::uint64_t kMaxId = std::numeric_limits<std::uint64_t>::max();
  const JournalEntry entries[] = {
      {JournalEntry::kKeep, "plain", {0, 1, 2, 3, 4}},
      {JournalEntry::kPut, "deep/er/name with spaces", {0, kMaxId, kMaxSize, -1, 999'999'999}},
      {JournalEntry::kKeep, "tab\there", {}},
      {JournalEntry::kPut, "line\nend\r\nand CR\r", {}},
      {JournalEntry::kKeep, "100%", {}},
      {JournalEntry::kPut, "looks escaped %09 %25 %0A", {}},
      {JournalEntry::kKeep, "%", {}},
      {JournalEntry::kPut, "not UTF-8 \xff\xfe", {}},
      {JournalEntry::kKeep, "trailing %2", {}},
  };
  std::string text = kHeading;
  std::vector<std::string> want;
  for (const JournalEntry& entry : entries) {
    const std::string line = JournalLine(entry);
    EXPECT_EQ(line.find('\n'), line.size() - 1) << entry.path;
    text += line;
    want.push_back(Shown(entry));
  }
  EXPECT_EQ(ShownAll(ParseJournal(text)), want);
}

}  // namespace
}  // namespace tandrel
