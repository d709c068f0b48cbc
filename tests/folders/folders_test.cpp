#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "folders/folder_path.h"
#include "folders/slot_actions.h"
#include "support/fake_window.h"
#include "support/path.h"

namespace tandrel {
namespace {

using ::testing::ElementsAre;
using testing::FakeFolderSlot;
using testing::FakeShell;
using ::testing::IsEmpty;
using testing::P;

TEST(NormaliseFolderPath, BackslashRules) {
  EXPECT_EQ(NormaliseFolderPath("C:\\Photos", '\\'), "C:\\Photos\\");
  EXPECT_EQ(NormaliseFolderPath("C:\\", '\\'), "C:\\");
  EXPECT_EQ(NormaliseFolderPath("C:\\a\\\\b", '\\'), "C:\\a\\b\\");
  EXPECT_EQ(NormaliseFolderPath("C:\\a\\\\\\b", '\\'), "C:\\a\\\\b\\");  // three become two
  // A network path keeps its leading pair.
  EXPECT_EQ(NormaliseFolderPath("\\\\server\\share", '\\'), "\\\\server\\share\\");
  EXPECT_EQ(NormaliseFolderPath("\\\\server\\share\\", '\\'), "\\\\server\\share\\");
}

TEST(NormaliseFolderPath, SlashRules) {
  EXPECT_EQ(NormaliseFolderPath("/home/u", '/'), "/home/u/");
  EXPECT_EQ(NormaliseFolderPath("/", '/'), "/");
  EXPECT_EQ(NormaliseFolderPath("//srv//x", '/'), "/srv/x/");
  EXPECT_EQ(NormaliseFolderPath("/a\\\\b", '/'), "/a\\\\b/");  // backslashes are name characters
}

TEST(ChooseFolder, StoresNormalisedPathWithBusyPointerAround) {
  FakeFolderSlot slot;
  FakeShell shell;
  shell.pointer = Pointer::kHand;
  shell.browse_answers = {P("/data//photos")};
  ChooseFolder(slot, shell);
  EXPECT_THAT(slot.entries, ElementsAre(P("/data/photos/")));
  EXPECT_THAT(shell.browse_titles, ElementsAre("Please select folder"));
  EXPECT_THAT(shell.pointer_history, ElementsAre(Pointer::kBusy, Pointer::kDefault));
  EXPECT_THAT(shell.messages, IsEmpty());
}

TEST(ChooseFolder, FilledSlotRefusesWithoutDialogCancelIsSilent) {
  FakeFolderSlot slot;
  FakeShell shell;
  ChooseFolder(slot, shell);  // cancelled: empty answer
  EXPECT_THAT(slot.entries, IsEmpty());
  EXPECT_THAT(shell.messages, IsEmpty());
  EXPECT_THAT(shell.pointer_history, IsEmpty());

  slot.entries = {P("/a/")};
  shell.browse_answers = {P("/b")};
  ChooseFolder(slot, shell);
  EXPECT_THAT(shell.messages, ElementsAre("You already have a folder selected."));
  EXPECT_EQ(shell.browse_titles.size(), 1u);  // only the cancelled one
  EXPECT_THAT(slot.entries, ElementsAre(P("/a/")));

  RemoveFolder(slot);
  ChooseFolder(slot, shell);
  EXPECT_THAT(slot.entries, ElementsAre(P("/b/")));
}

TEST(RemoveSelectedFolder, OnlyTheSelectedEntryAndSilentOtherwise) {
  FakeFolderSlot slot;
  RemoveSelectedFolder(slot);
  RemoveFolder(slot);
  EXPECT_THAT(slot.entries, IsEmpty());
  slot.entries = {P("/a/")};
  RemoveSelectedFolder(slot);  // nothing selected
  EXPECT_THAT(slot.entries, ElementsAre(P("/a/")));
  slot.selected = 1;
  RemoveSelectedFolder(slot);
  EXPECT_THAT(slot.entries, IsEmpty());
}

}  // namespace
}  // namespace tandrel
