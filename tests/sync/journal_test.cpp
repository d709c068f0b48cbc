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

constexpr char kHeading[] =
    "tandrel journal 2\nrun\t3fa9c1d2e4b5a697\t1700000000\t7\tsync\thost\t~tandrel-01-\n"
    "tree\t2049:2\t/a/\n"
    "other\t2049:9\t/b b/\n";

// An entry as one comparable line of text.
std::string Shown(const JournalEntry& e) {
  const char* const kinds[] = {"keep", "unkept", "put", "done", "not", "undone"};
  if (e.kind >= JournalEntry::kDone) return std::string(kinds[e.kind]) + " [" + e.path + "]";
  return std::string(kinds[e.kind]) + " [" + e.path + "] [" + e.name + "] " +
         std::to_string(e.stamp.size) + " " + std::to_string(e.stamp.write_seconds) + " " +
         std::to_string(e.stamp.write_nanoseconds) + " " + std::to_string(e.stamp.file_id);
}

std::vector<std::string> ShownAll(std::string_view text) {
  Journal journal;
  if (!ParseJournal(text, &journal)) return {"not a journal"};
  std::vector<std::string> shown;
  for (const JournalEntry& e : journal.entries) shown.push_back(Shown(e));
  if (journal.ended) shown.push_back("end");
  return shown;
}

TEST(JournalTest, ParseReadsWholeLinesAndLeavesOutTheRest) {
  const std::string h = kHeading;
  const std::string keep = "keep\tsub/x\t~x\t12\t1700000000\t5\t42\n";
  const std::string put = "put\tsub/x\t~tandrel-1.tmp\t13\t1700000001\t0\t43\n";
  const std::string keep_shown = "keep [sub/x] [~x] 12 1700000000 5 42";
  const std::string put_shown = "put [sub/x] [~tandrel-1.tmp] 13 1700000001 0 43";
  struct Case {
    const char* what;
    std::string text;
    std::vector<std::string> want;
  };
  const Case cases[] = {
      {"keep then put", h + keep + put, {keep_shown, put_shown}},
      {"heading alone", h, {}},
      {"outcomes and the end",
       h + keep + put + "done\tsub/x\n" + "end\n",
       {keep_shown, put_shown, "done [sub/x]", "end"}},
      {"an end torn by a crash", h + keep + "en", {keep_shown}},
      {"no heading", keep + put, {"not a journal"}},
      {"an earlier journal version", "tandrel journal 1\n" + keep, {"not a journal"}},
      {"a run line short",
       "tandrel journal 2\nrun\tid\t1\t1\tsync\thost\ntree\t1\t/a/\nother\t2\t/b/\n",
       {"not a journal"}},
      {"empty", "", {"not a journal"}},
      {"last line torn by a crash", h + keep + put.substr(0, 10), {keep_shown}},
      {"last line without its line end", h + keep + put.substr(0, put.size() - 1), {keep_shown}},
      {"unknown kind, then a good line", h + "move\tsub/x\tt\t1\t2\t3\t4\n" + put, {put_shown}},
      {"kind in capitals", h + "KEEP\tsub/x\t~x\t1\t2\t3\t4\n", {}},
      {"a field short", h + "put\tsub/x\tt\t1\t2\t3\n" + keep, {keep_shown}},
      {"a field more", h + "put\tsub/x\tt\t1\t2\t3\t4\t5\n", {}},
      {"trailing tab", h + "put\tsub/x\tt\t1\t2\t3\t4\t\n", {}},
      {"empty path", h + "put\t\tt\t1\t2\t3\t4\n", {}},
      {"size not a number", h + "put\tx\tt\t1k\t2\t3\t4\n", {}},
      {"empty number", h + "put\tx\tt\t\t2\t3\t4\n", {}},
      {"negative nanoseconds", h + "put\tx\tt\t1\t2\t-3\t4\n", {}},
      {"empty line", h + "\n" + put, {put_shown}},
      {"before 1970",
       h + "keep\tx\t~x\t0\t-86400\t999999999\t0\n",
       {"keep [x] [~x] 0 -86400 999999999 0"}},
      {"escaped delimiters",
       h + "put\ta%09b%0Ac%0Dd%25e\t~%25\t1\t2\t3\t4\n",
       {"put [a\tb\nc\rd%e] [~%] 1 2 3 4"}},
      {"a lone % at the end", h + "put\t50%\tt\t1\t2\t3\t4\n", {"put [50%] [t] 1 2 3 4"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ShownAll(c.text), c.want) << c.what;
  }
}

TEST(JournalTest, EveryNameReadsBackAsWritten) {
  constexpr std::int64_t kMaxSize = std::numeric_limits<std::int64_t>::max();
  constexpr std::uint64_t kMaxId = std::numeric_limits<std::uint64_t>::max();
  const JournalEntry entries[] = {
      {JournalEntry::kKeep, "plain", "~plain", {0, 1, 2, 3, 4}},
      {JournalEntry::kPut,
       "deep/er/name with spaces",
       "~t",
       {0, kMaxId, kMaxSize, -1, 999'999'999}},
      {JournalEntry::kKeep, "tab\there", "~tab\there", {}},
      {JournalEntry::kPut, "line\nend\r\nand CR\r", "", {}},
      {JournalEntry::kUnkept, "100%", "", {}},
      {JournalEntry::kDone, "looks escaped %09 %25 %0A", "", {}},
      {JournalEntry::kNot, "%", "", {}},
      {JournalEntry::kUndone, "not UTF-8 \xff\xfe", "", {}},
      {JournalEntry::kKeep, "trailing %2", "~trailing %2", {}},
  };
  std::string text = kHeading;
  std::vector<std::string> want;
  for (const JournalEntry& entry : entries) {
    const std::string line = JournalLine(entry);
    EXPECT_EQ(line.find('\n'), line.size() - 1) << entry.path;
    text += line;
    want.push_back(Shown(entry));
  }
  EXPECT_EQ(ShownAll(text), want);
  // The heading reads back too, blanks and delimiters in the paths included.
  RunHeading heading{"0123456789abcdef", -5,    12,           true, "host\tname",
                     "~tandrel-0123-",   "1:2", "C:\\a\tb\\", "",   "/b%/"};
  Journal journal;
  ASSERT_TRUE(ParseJournal(HeadingText(heading), &journal));
  EXPECT_EQ(HeadingText(journal.heading), HeadingText(heading));
  EXPECT_EQ(journal.heading.other_text, "/b%/");
}

}  // namespace
}  // namespace tandrel
