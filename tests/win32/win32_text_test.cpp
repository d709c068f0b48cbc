// UTF-8 and UTF-16 at the edge of the API, long-path prefixes, error texts
// and command lines.
// clang-format off
#include <windows.h>
#include <shellapi.h>
// clang-format on
#include <gtest/gtest.h>

#include "platform/file_system.h"
#include "platform/win32/wide.h"
#include "platform/win32/win32_file_system.h"
#include "platform/win32/win32_shell.h"

namespace tandrel {
namespace {

using win32::ApiPath;
using win32::Utf8ToWide;
using win32::WideToUtf8;

TEST(Win32Text, Utf16RoundTripKeepsEveryName) {
  const std::wstring names[] = {L"plain.txt",           L"\u03b1\u03b2\u03b3", L"\u6587\u4ef6",
                                L"\U0001F600.txt",      L"lone\xD800high",     L"lone\xDC00low",
                                L"\xDC00\xD800reversed"};
  for (const std::wstring& name : names) {
    EXPECT_EQ(Utf8ToWide(WideToUtf8(name)), name);
  }
  EXPECT_EQ(WideToUtf8(L"\U0001F600"), "\xf0\x9f\x98\x80");
  EXPECT_EQ(Utf8ToWide("\xce\xb1"), L"\u03b1");
  // Bytes that start no sequence, a cut-off sequence and an overlong form.
  EXPECT_EQ(Utf8ToWide("a\xff"
                       "b"),
            L"a\uFFFDb");
  EXPECT_EQ(Utf8ToWide("a\xe6\x96"), L"a\uFFFD\uFFFD");
  EXPECT_EQ(Utf8ToWide("\xc0\xaf"), L"\uFFFD\uFFFD");
}

TEST(Win32Text, LongPathsGetThePrefixShortOnesStayAsGiven) {
  EXPECT_EQ(ApiPath("C:\\short\\file.txt"), L"C:\\short\\file.txt");
  EXPECT_EQ(ApiPath("C:\\short", L"\\*"), L"C:\\short\\*");
  const std::string tail(300, 'x');
  EXPECT_EQ(ApiPath("C:\\a/b\\" + tail), L"\\\\?\\C:\\a\\b\\" + std::wstring(300, L'x'));
  EXPECT_EQ(ApiPath("\\\\server\\share\\" + tail),
            L"\\\\?\\UNC\\server\\share\\" + std::wstring(300, L'x'));
  EXPECT_EQ(ApiPath("C:\\dir\\..\\" + tail), L"\\\\?\\C:\\" + std::wstring(300, L'x'));
  const std::wstring prefixed = L"\\\\?\\C:\\" + std::wstring(300, L'y');
  EXPECT_EQ(ApiPath(WideToUtf8(prefixed)), prefixed);
}

TEST(Win32Text, ErrorsCompareAsPortableCodesAndCarryTheSystemText) {
  EXPECT_EQ(win32::Win32Error(ERROR_FILE_NOT_FOUND), std::errc::no_such_file_or_directory);
  EXPECT_EQ(win32::Win32Error(ERROR_PATH_NOT_FOUND), std::errc::no_such_file_or_directory);
  EXPECT_EQ(win32::Win32Error(ERROR_ALREADY_EXISTS), std::errc::file_exists);
  EXPECT_EQ(win32::Win32Error(ERROR_ACCESS_DENIED), std::errc::permission_denied);
  EXPECT_EQ(win32::Win32Error(ERROR_SHARING_VIOLATION), std::errc::device_or_resource_busy);
  EXPECT_EQ(win32::Win32Error(ERROR_LOCK_VIOLATION), std::errc::device_or_resource_busy);
  const std::error_code odd = win32::Win32Error(ERROR_CRC);
  EXPECT_NE(odd, std::errc::io_error);
  EXPECT_EQ(odd.value(), ERROR_CRC);
  const std::string text = win32::Win32Error(ERROR_FILE_NOT_FOUND).message();
  EXPECT_FALSE(text.empty());
  EXPECT_EQ(text.find('\n'), std::string::npos);
}

TEST(Win32Text, CommandLineQuotesWhatTheChildReadsBack) {
  EXPECT_EQ(BuildCommandLine("explorer", {"https://example.com/"}),
            L"explorer \"https://example.com/\"");
  const std::vector<std::string> args = {
      "two words", "say \"hi\"", "C:\\dir\\", "back\\\\slash\\\"quote", "", "\xce\xb1"};
  const std::wstring line = BuildCommandLine("program", args);
  int count = 0;
  wchar_t** parsed = ::CommandLineToArgvW(line.c_str(), &count);
  ASSERT_NE(parsed, nullptr);
  ASSERT_EQ(count, static_cast<int>(args.size()) + 1);
  for (size_t i = 0; i < args.size(); ++i) EXPECT_EQ(WideToUtf8(parsed[i + 1]), args[i]) << i;
  ::LocalFree(parsed);
}

TEST(Win32Text, ExecutableFolderHoldsThisProgram) {
  const std::string folder = ExecutableFolder();
  ASSERT_FALSE(folder.empty());
  EXPECT_NE(folder.back(), '\\');
  Win32FileSystem fs;
  FileInfo info;
  EXPECT_FALSE(fs.Stat(folder + "\\win32_test.exe", FollowLinks::kYes, &info));
}

}  // namespace
}  // namespace tandrel
