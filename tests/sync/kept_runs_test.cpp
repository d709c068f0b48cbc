// The name a run is kept under: one name free in both trees, so that undo
// finds the run's two halves, and the runs of a tree in the order they ran.
#include "sync/kept_runs.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/fake_file_system.h"
#include "support/path.h"

namespace tandrel {
namespace {

using testing::FakeFileSystem;
using testing::P;

constexpr char kFirst[] = "2026-12-07 181000";

TEST(KeptRunsTest, UniqueRunNameIsFreeInEveryTree) {
  struct Case {
    const char* what;
    std::vector<std::string> in_a;
    std::vector<std::string> in_b;
    std::string want;
  };
  const std::string first = kFirst;
  const Case cases[] = {
      {"no runs kept", {}, {}, first},
      {"another second's run", {"2026-12-07 180959"}, {}, first},
      {"taken in the second tree", {}, {first}, first + " (2)"},
      {"numbers taken in either tree", {first, first + " (2)"}, {first + " (3)"}, first + " (4)"},
      {"a gap is used", {first, first + " (3)"}, {}, first + " (2)"},
  };
  for (const Case& c : cases) {
    FakeFileSystem fs;
    fs.AddFolder(P("/a"));
    fs.AddFolder(P("/b"));
    for (const std::string& run : c.in_a) fs.AddFolder(P("/a/.tandrel/replaced/" + run));
    for (const std::string& run : c.in_b) fs.AddFolder(P("/b/.tandrel/replaced/" + run));
    Folder a;
    Folder b;
    ASSERT_FALSE(fs.OpenRoot(P("/a/"), &a));
    ASSERT_FALSE(fs.OpenRoot(P("/b/"), &b));
    const Folder* const tops[] = {&a, &b};
    EXPECT_EQ(UniqueRunName(fs, tops, kFirst), c.want) << c.what;
  }
}

TEST(KeptRunsTest, RunsInListsRunsInTheOrderTheyBegan) {
  FakeFileSystem fs;
  const std::string first = kFirst;
  for (const std::string& run : {first + " (10)", first + " (2)", first, std::string("notes"),
                                 std::string("2026-12-07 175959")}) {
    fs.AddFolder(P("/a/.tandrel/replaced/" + run));
  }
  fs.AddFile(P("/a/.tandrel/replaced/2026-12-07 170000"), "a file, not a run", 0);
  Folder a;
  ASSERT_FALSE(fs.OpenRoot(P("/a/"), &a));
  EXPECT_EQ(RunsIn(fs, a), (std::vector<std::string>{"2026-12-07 175959", first, first + " (2)",
                                                     first + " (10)"}));
}

}  // namespace
}  // namespace tandrel
