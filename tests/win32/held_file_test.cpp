// Entries another program holds open, as an editor holds its document:
// renaming, replacing, moving and removing them answers busy while they are
// held and works once they are let go of.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <windows.h>

#include <functional>

#include "platform/win32/handles.h"
#include "platform/win32/wide.h"
#include "platform/win32/win32_file_system.h"
#include "platform/win32/win32_shell.h"
#include "support/temp_folder.h"
#include "win32_disk.h"

namespace tandrel {
namespace {

using ::testing::AnyOf;
using ::testing::IsEmpty;
using ::testing::StrCaseEq;
using testing::TempFolder;
using win32::FileHandle;

// hold_file.exe (built beside this test) holding one path until Release.
class Holder {
 public:
  Holder() = default;
  Holder(const Holder&) = delete;
  Holder& operator=(const Holder&) = delete;
  ~Holder() { Release(); }

  // Starts the holder and returns once it says it holds `path`; false when
  // it could not be started or could not open `path`.
  bool Hold(const std::string& path) {
    SECURITY_ATTRIBUTES inherited{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE child_input = nullptr;
    HANDLE input = nullptr;
    HANDLE output = nullptr;
    HANDLE child_output = nullptr;
    if (!::CreatePipe(&child_input, &input, &inherited, 0)) return false;
    FileHandle child_input_owner(child_input);
    input_.reset(input);
    if (!::CreatePipe(&output, &child_output, &inherited, 0)) return false;
    FileHandle output_owner(output);
    FileHandle child_output_owner(child_output);
    // The holder's input ends only when this side's end is closed, so the
    // child must not inherit it too.
    ::SetHandleInformation(input, HANDLE_FLAG_INHERIT, 0);
    ::SetHandleInformation(output, HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = child_input;
    startup.hStdOutput = child_output;
    startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
    const std::string program = ExecutableFolder() + "\\hold_file.exe";
    std::wstring command = BuildCommandLine(program, {path, "-"});
    PROCESS_INFORMATION started{};
    if (!::CreateProcessW(win32::Utf8ToWide(program).c_str(), command.data(), nullptr, nullptr,
                          TRUE, 0, nullptr, nullptr, &startup, &started)) {
      return false;
    }
    ::CloseHandle(started.hThread);
    process_.reset(started.hProcess);
    // Only the child writes to its output now: reading it ends when it
    // exits without saying "held".
    child_output_owner.reset();
    std::string said;
    char buffer[64];
    DWORD got = 0;
    while (said.find("held\n") == std::string::npos &&
           ::ReadFile(output, buffer, sizeof buffer, &got, nullptr) && got != 0) {
      said.append(buffer, got);
    }
    return said.find("held\n") != std::string::npos;
  }

  // Ends the holder's input and waits until the process is gone.
  void Release() {
    input_.reset();
    if (process_) ::WaitForSingleObject(process_.get(), 60'000);
    process_.reset();
  }

 private:
  FileHandle input_;
  FileHandle process_;
};

class HeldFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(fs_.OpenRoot(tmp_.path(), &root_));
    tmp_.MakeFolder("aside");
    ASSERT_FALSE(fs_.OpenFolder(root_, "aside", &aside_));
  }

  Win32FileSystem fs_;
  TempFolder tmp_;
  Folder root_;
  Folder aside_;
};

TEST_F(HeldFileTest, HeldEntryIsBusyUntilLetGoOf) {
  tmp_.Write("replaced.txt", "old");
  OpenFile copy;
  ASSERT_FALSE(fs_.CreateTemporary(root_, "~replaced.tmp", &copy));
  ASSERT_FALSE(fs_.AppendText(copy, "new"));
  tmp_.Write("moved.txt", "moved");
  tmp_.Write("aside\\kept.txt", "kept");
  tmp_.Write("restored.txt", "copy");
  tmp_.MakeFolder("emptied");
  OpenFile let_go;
  ASSERT_FALSE(fs_.CreateTemporary(root_, "~let-go.tmp", &let_go));
  ASSERT_FALSE(fs_.CloseTemporary(let_go, /*keep_held=*/false));

  struct Case {
    const char* what;
    const char* held;  // the entry of the top folder the other program holds
    std::function<std::error_code()> act;
  };
  const Case cases[] = {
      {"a copy replaces it", "replaced.txt",
       [&] { return fs_.RenameTemporary(root_, "~replaced.tmp", copy, "replaced.txt", true); }},
      {"it is moved aside", "moved.txt",
       [&] { return fs_.MoveBetween(root_, "moved.txt", aside_, "moved.txt", false); }},
      {"a kept file is put back over it", "restored.txt",
       [&] { return fs_.MoveBetween(aside_, "kept.txt", root_, "restored.txt", true); }},
      {"its emptied folder is removed", "emptied",
       [&] { return fs_.RemoveEmptyFolder(root_, "emptied"); }},
      {"a temporary let go of is removed", "~let-go.tmp",
       [&] { return fs_.RemoveTemporary(root_, "~let-go.tmp", let_go); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Holder holder;
    ASSERT_TRUE(holder.Hold(tmp_.path() + c.held));
    EXPECT_EQ(c.act(), std::errc::device_or_resource_busy);
    // The Restart Manager may not tell (Wine's tells nothing), but what it
    // tells is the holder, never this process or another.
    EXPECT_THAT(fs_.ProgramHolding(root_, c.held), AnyOf(IsEmpty(), StrCaseEq("hold_file.exe")));
    holder.Release();
    EXPECT_FALSE(c.act());
  }

  copy.Reset();
  EXPECT_EQ(testing::ReadFile(tmp_.path() + "replaced.txt"), "new");
  EXPECT_EQ(testing::ReadFile(tmp_.path() + "aside\\moved.txt"), "moved");
  EXPECT_EQ(testing::ReadFile(tmp_.path() + "restored.txt"), "kept");
  FileInfo info;
  EXPECT_EQ(fs_.StatAt(root_, "emptied", FollowLinks::kNo, &info),
            std::errc::no_such_file_or_directory);
  EXPECT_EQ(fs_.StatAt(root_, "~let-go.tmp", FollowLinks::kNo, &info),
            std::errc::no_such_file_or_directory);
}

TEST_F(HeldFileTest, ReadOnlyTargetStaysARefusalWhileItIsHeld) {
  const std::string target = tmp_.Write("locked.txt", "old");
  OpenFile copy;
  ASSERT_FALSE(fs_.CreateTemporary(root_, "~locked.tmp", &copy));
  Holder holder;
  ASSERT_TRUE(holder.Hold(target));
  // Made read-only once held, since the holder opens it for writing.
  ASSERT_TRUE(testing::AddAttributes(target, FILE_ATTRIBUTE_READONLY));
  const std::error_code ec = fs_.RenameTemporary(root_, "~locked.tmp", copy, "locked.txt", true);
  EXPECT_NE(ec, std::errc::device_or_resource_busy);
  EXPECT_THAT(ec.message(), ::testing::HasSubstr("read-only"));
  holder.Release();
  testing::ClearReadOnly(target);
}

}  // namespace
}  // namespace tandrel
