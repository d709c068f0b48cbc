// The names of a run's temporary files: which leftovers a run may take
// away as another run's, and what their names tell of when that run began.
#include "sync/temp_names.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <set>
#include <string>

#include "sync/clock.h"

namespace tandrel {
namespace {

bool IsLowerHex(std::string_view text) {
  return text.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

TEST(TempNamesTest, NextNamesAreOursAndTellWhenTheRunBegan) {
  const std::int64_t before = UnixSecondsNow();
  TempNames names;
  const std::int64_t after = UnixSecondsNow();
  std::set<std::string> seen;
  for (int n = 1; n <= 3; ++n) {
    const std::string name = names.Next();
    // "~tandrel-" + 16 hexadecimal digits + "-" + n + ".tmp"
    ASSERT_EQ(name.size(), 9u + 16 + 1 + 1 + 4) << name;
    EXPECT_EQ(name.substr(0, 9), "~tandrel-");
    EXPECT_TRUE(IsLowerHex(name.substr(9, 16))) << name;
    EXPECT_EQ(name.substr(25), "-" + std::to_string(n) + ".tmp");
    EXPECT_FALSE(names.IsOthers(name)) << name;
    const std::optional<std::int64_t> started = TempNames::StartedAt(name);
    ASSERT_TRUE(started) << name;
    EXPECT_GE(*started, before);
    EXPECT_LE(*started, after);
    seen.insert(name);
  }
  EXPECT_EQ(seen.size(), 3u);
  // A second run in the same second still makes other names, and each run
  // takes the other's for leftovers.
  TempNames other;
  const std::string theirs = other.Next();
  EXPECT_EQ(seen.count(theirs), 0u);
  EXPECT_TRUE(names.IsOthers(theirs));
  EXPECT_TRUE(other.IsOthers(*seen.begin()));
}

TEST(TempNamesTest, OnlyTheExactShapeIsAnotherRunsName) {
  struct Case {
    const char* name;
    bool others;
    // Asked only of names IsOthers took: when their run began, if told.
    std::optional<std::int64_t> started;
  };
  const Case cases[] = {
      {"~tandrel-0123456789abcdef-7.tmp", true, 0x01234567},
      {"~tandrel-ffffffff00000000-12345.tmp", true, 0xffffffffLL},
      {"~tandrel-0badf00d-3.tmp", true, std::nullopt},  // before names told the time
      {"~tandrel-notes.tmp", false, {}},
      {"~tandrel-0badf00d-3.tmp.bak", false, {}},
      {"~tandrel-0badf00d-3.TMP", false, {}},
      {"~tandrel-0BADF00D-3.tmp", false, {}},
      {"~tandrel-0badf00g-3.tmp", false, {}},
      {"~tandrel-0badf00-3.tmp", false, {}},
      {"~tandrel-0123456789abcdef0-3.tmp", false, {}},
      {"~tandrel-0123456789abcd-3.tmp", false, {}},
      {"~tandrel-0badf00d-.tmp", false, {}},
      {"~tandrel-0badf00d-3a.tmp", false, {}},
      {"~tandrel-0badf00d-3-4.tmp", false, {}},
      {"~tandrel-0badf00d--3.tmp", false, {}},
      {"~tandrel--3.tmp", false, {}},
      {"tandrel-0badf00d-3.tmp", false, {}},
      {"~Tandrel-0badf00d-3.tmp", false, {}},
      {"~0badf00d-3.tmp", false, {}},
      {"~tandrel-.tmp", false, {}},
      {"", false, {}},
  };
  TempNames ours;
  for (const Case& c : cases) {
    EXPECT_EQ(ours.IsOthers(c.name), c.others) << c.name;
    if (c.others) {
      EXPECT_EQ(TempNames::StartedAt(c.name), c.started) << c.name;
    }
  }
}

}  // namespace
}  // namespace tandrel
