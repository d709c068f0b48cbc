#include "compare/matching.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/fake_file_system.h"
#include "support/path.h"

namespace tandrel {
namespace {

using ::testing::ElementsAre;
using testing::FakeFileSystem;
using ::testing::IsEmpty;
using testing::P;

constexpr FileTime kHour = 3600 * kFileTimeTicksPerSecond;

FileList ListOf(const std::vector<std::string>& paths) {
  FileList list;
  for (const std::string& p : paths) list.AddPath(p);
  return list;
}

std::vector<std::string> Paths(const FileList& list, const std::vector<std::uint32_t>& picks) {
  std::vector<std::string> out;
  for (std::uint32_t i : picks) out.push_back(list.Path(i));
  return out;
}

TEST(UnmatchedFiles, ByNameAnywhereExactAndCaseSensitive) {
  const FileList report =
      ListOf({P("/1/a.txt"), P("/1/x/b.txt"), P("/1/y/b.txt"), P("/1/Readme.txt"), P("/1/c.txt")});
  const FileList search = ListOf({P("/2/deep/er/b.txt"), P("/2/README.TXT"), P("/2/a.txt")});
  EXPECT_THAT(Paths(report, UnmatchedFiles(FirstNamesakes(report, NameIndex(search)))),
              ElementsAre(P("/1/Readme.txt"), P("/1/c.txt")));
  EXPECT_THAT(Paths(search, UnmatchedFiles(FirstNamesakes(search, NameIndex(report)))),
              ElementsAre(P("/2/README.TXT")));
}

TEST(UnmatchedFiles, EmptyLists) {
  const FileList some = ListOf({P("/1/a"), P("/1/b")});
  const FileList none;
  EXPECT_THAT(Paths(some, UnmatchedFiles(FirstNamesakes(some, NameIndex(none)))),
              ElementsAre(P("/1/a"), P("/1/b")));
  EXPECT_THAT(UnmatchedFiles(FirstNamesakes(none, NameIndex(some))), IsEmpty());
}

class ProposeOverwritesTest : public ::testing::Test {
 protected:
  // Rows as "source > destination".
  std::vector<std::string> Rows(const FileList& l1, const FileList& l2) {
    std::vector<std::string> rows;
    const NameIndex index2(l2);
    for (const Overwrite& o : ProposeOverwrites(l1, l2, FirstNamesakes(l1, index2), index2, fs_)) {
      rows.push_back(o.from_list1 ? l1.Path(o.file1) + " > " + l2.Path(o.file2)
                                  : l2.Path(o.file2) + " > " + l1.Path(o.file1));
    }
    return rows;
  }
  FakeFileSystem fs_;
};

TEST_F(ProposeOverwritesTest, RowOrderFollowsList1ThenList2) {
  fs_.AddFile(P("/1/p/n.txt"), "", 10 * kHour);
  fs_.AddFile(P("/1/q/n.txt"), "", 12 * kHour);
  fs_.AddFile(P("/2/n.txt"), "", 11 * kHour);
  const FileList l1 = ListOf({P("/1/p/n.txt"), P("/1/q/n.txt")});
  const FileList l2 = ListOf({P("/2/n.txt")});
  EXPECT_THAT(Rows(l1, l2), ElementsAre(P("/2/n.txt > /1/p/n.txt"), P("/1/q/n.txt > /2/n.txt")));
}

TEST_F(ProposeOverwritesTest, EqualToTheSecondGivesNoRowAndMissingTimeIsOldest) {
  fs_.AddFile(P("/1/same.txt"), "", 5 * kHour + 1);
  fs_.AddFile(P("/2/x/same.txt"), "", 5 * kHour + 9'999'999);
  fs_.AddFile(P("/1/t.txt"), "", 0);  // time 0 is still a time
  fs_.AddFile(P("/2/t.txt"), "", 0);
  fs_.SetTimeless(P("/2/t.txt"));
  fs_.AddFile(P("/1/u.txt"), "", 0);
  fs_.AddFile(P("/2/u.txt"), "", 0);
  fs_.SetTimeless(P("/1/u.txt"));
  fs_.SetTimeless(P("/2/u.txt"));
  const FileList l1 = ListOf({P("/1/same.txt"), P("/1/t.txt"), P("/1/u.txt")});
  const FileList l2 = ListOf({P("/2/x/same.txt"), P("/2/t.txt"), P("/2/u.txt")});
  EXPECT_THAT(Rows(l1, l2), ElementsAre(P("/1/t.txt > /2/t.txt")));
}

TEST_F(ProposeOverwritesTest, EveryPairOfNamesakesKTimesM) {
  std::vector<std::string> p1, p2;
  for (int i = 0; i < 3; ++i) {
    p1.push_back(P("/1/d") + std::to_string(i) + P("/n"));
    fs_.AddFile(p1.back(), "", (i + 1) * kHour);
  }
  for (int j = 0; j < 2; ++j) {
    p2.push_back(P("/2/e") + std::to_string(j) + P("/n"));
    fs_.AddFile(p2.back(), "", (2 * j + 1) * kHour + kHour / 2);  // 1:30 and 3:30
  }
  EXPECT_THAT(Rows(ListOf(p1), ListOf(p2)),
              ElementsAre(P("/2/e0/n > /1/d0/n"), P("/2/e1/n > /1/d0/n"),    // 1:00
                          P("/1/d1/n > /2/e0/n"), P("/2/e1/n > /1/d1/n"),    // 2:00
                          P("/1/d2/n > /2/e0/n"), P("/2/e1/n > /1/d2/n")));  // 3:00
}

TEST_F(ProposeOverwritesTest, SameListTwiceGivesEachPairTwice) {
  fs_.AddFile(P("/1/a/n"), "", 1 * kHour);
  fs_.AddFile(P("/1/b/n"), "", 2 * kHour);
  const FileList l = ListOf({P("/1/a/n"), P("/1/b/n")});
  EXPECT_THAT(Rows(l, l), ElementsAre(P("/1/b/n > /1/a/n"), P("/1/b/n > /1/a/n")));
}

TEST_F(ProposeOverwritesTest, ReadsEachTimeOnceAndOnlyForNamesakes) {
  for (int i = 0; i < 20; ++i) {
    fs_.AddFile(P("/1/d") + std::to_string(i) + P("/n"), "", i * kHour);
    fs_.AddFile(P("/2/d") + std::to_string(i) + P("/n"), "", i * kHour);
  }
  fs_.AddFile(P("/1/lonely"), "", 0);
  std::vector<std::string> p1{P("/1/lonely")}, p2;
  for (int i = 0; i < 20; ++i) {
    p1.push_back(P("/1/d") + std::to_string(i) + P("/n"));
    p2.push_back(P("/2/d") + std::to_string(i) + P("/n"));
  }
  const FileList l1 = ListOf(p1), l2 = ListOf(p2);
  EXPECT_EQ(Rows(l1, l2).size(), 20u * 19u);
  EXPECT_EQ(fs_.Calls(testing::Op::kStat), 40);
}

}  // namespace
}  // namespace tandrel
