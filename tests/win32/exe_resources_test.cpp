// What Explorer reads from the shipped executables: the first icon (the
// program's own, in the sizes Explorer asks for), the version resource, and
// what the loader reads: the manifest.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "version/version.h"

namespace {

struct Module {
  explicit Module(const wchar_t* path)
      : handle(::LoadLibraryExW(path, nullptr,
                                LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE)) {}
  ~Module() {
    if (handle != nullptr) ::FreeLibrary(handle);
  }
  HMODULE handle;
};

// Icon groups in the order Explorer picks from: names (sorted) before ids,
// ids ascending. The resource directory is kept in that order, so the
// enumeration gives it.
std::vector<std::wstring> IconGroups(HMODULE module) {
  std::vector<std::wstring> groups;
  ::EnumResourceNamesW(
      module, RT_GROUP_ICON,
      [](HMODULE, LPCWSTR, LPWSTR name, LONG_PTR out) -> BOOL {
        auto* list = reinterpret_cast<std::vector<std::wstring>*>(out);
        list->push_back(IS_INTRESOURCE(name)
                            ? L"#" + std::to_wstring(reinterpret_cast<ULONG_PTR>(name))
                            : std::wstring(name));
        return TRUE;
      },
      reinterpret_cast<LONG_PTR>(&groups));
  return groups;
}

// The widths of the images of an icon group (GRPICONDIR): 0 stands for 256.
std::vector<int> IconSizes(HMODULE module, int id) {
  HRSRC found = ::FindResourceW(module, MAKEINTRESOURCEW(id), RT_GROUP_ICON);
  if (found == nullptr) return {};
  const auto* bytes = static_cast<const BYTE*>(::LockResource(::LoadResource(module, found)));
  const int count = bytes[4] | (bytes[5] << 8);
  std::vector<int> sizes;
  for (int i = 0; i < count; ++i) sizes.push_back(bytes[6 + 14 * i] == 0 ? 256 : bytes[6 + 14 * i]);
  return sizes;
}

// How many of an icon's 32 by 32 pixels change when it is drawn on white.
int VisiblePixels(HMODULE module, int id) {
  const auto icon = static_cast<HICON>(
      ::LoadImageW(module, MAKEINTRESOURCEW(id), IMAGE_ICON, 32, 32, LR_DEFAULTCOLOR));
  if (icon == nullptr) return -1;
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  info.bmiHeader.biWidth = 32;
  info.bmiHeader.biHeight = -32;  // top-down
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HDC dc = ::CreateCompatibleDC(nullptr);
  HBITMAP bitmap = ::CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  ::SelectObject(dc, bitmap);
  auto* pixels = static_cast<DWORD*>(bits);
  std::fill(pixels, pixels + 32 * 32, 0x00FFFFFF);
  ::DrawIconEx(dc, 0, 0, icon, 32, 32, 0, nullptr, DI_NORMAL);
  int changed = 0;
  for (int i = 0; i < 32 * 32; ++i) changed += (pixels[i] & 0xFFFFFF) != 0xFFFFFF;
  ::DeleteDC(dc);
  ::DeleteObject(bitmap);
  ::DestroyIcon(icon);
  return changed;
}

std::wstring VersionString(const std::vector<BYTE>& block, const wchar_t* name) {
  const std::wstring key = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
  wchar_t* value = nullptr;
  UINT length = 0;
  if (!::VerQueryValueW(block.data(), key.c_str(), reinterpret_cast<void**>(&value), &length)) {
    return L"(none)";
  }
  return value;
}

std::wstring Wide(const char* text) { return std::wstring(text, text + std::strlen(text)); }

// The build names files by their host paths; cross-built and run under
// Wine, a path from / is found through drive Z:.
std::wstring ExePath(const char* path) {
  std::wstring wide = Wide(path);
  if (!wide.empty() && wide[0] == L'/') {
    std::replace(wide.begin(), wide.end(), L'/', L'\\');
    wide = L"Z:" + wide;
  }
  return wide;
}

class ExeResources : public ::testing::TestWithParam<const char*> {};

TEST_P(ExeResources, FirstIconIsTheProgramsOwnInExplorersSizes) {
  const std::wstring path = ExePath(GetParam());
  Module module(path.c_str());
  ASSERT_NE(module.handle, nullptr) << GetParam();
  const std::vector<std::wstring> groups = IconGroups(module.handle);
  ASSERT_FALSE(groups.empty());
  EXPECT_EQ(groups.front(), L"#1");
  EXPECT_EQ(IconSizes(module.handle, 1), (std::vector<int>{16, 32, 48, 256}));
  EXPECT_GT(VisiblePixels(module.handle, 1), 200);
}

TEST_P(ExeResources, VersionResourceNamesTandrelAndThisVersion) {
  const std::wstring path = ExePath(GetParam());
  const DWORD size = ::GetFileVersionInfoSizeW(path.c_str(), nullptr);
  ASSERT_GT(size, 0u) << GetParam();
  std::vector<BYTE> block(size);
  ASSERT_TRUE(::GetFileVersionInfoW(path.c_str(), 0, size, block.data()));
  EXPECT_EQ(VersionString(block, L"ProductName"), L"Tandrel");
  EXPECT_EQ(VersionString(block, L"FileVersion"), Wide(TANDREL_VERSION));
  EXPECT_EQ(VersionString(block, L"ProductVersion"), Wide(TANDREL_VERSION_FULL));
  EXPECT_NE(VersionString(block, L"FileDescription").find(L"Tandrel"), std::wstring::npos);
  const std::wstring name = path.substr(path.find_last_of(L"/\\") + 1);
  EXPECT_EQ(VersionString(block, L"OriginalFilename"), name);

  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(::VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  EXPECT_EQ(fixed->dwFileVersionMS, DWORD{TANDREL_VERSION_MAJOR << 16 | TANDREL_VERSION_MINOR});
  EXPECT_EQ(fixed->dwFileVersionLS, DWORD{TANDREL_VERSION_PATCH << 16});
}

TEST_P(ExeResources, ManifestAsksForPathsBeyondMaxPath) {
  Module module(ExePath(GetParam()).c_str());
  ASSERT_NE(module.handle, nullptr) << GetParam();
  HRSRC found = ::FindResourceW(module.handle, MAKEINTRESOURCEW(1), RT_MANIFEST);
  ASSERT_NE(found, nullptr);
  const auto* bytes =
      static_cast<const char*>(::LockResource(::LoadResource(module.handle, found)));
  const std::string manifest(bytes, ::SizeofResource(module.handle, found));
  EXPECT_TRUE(std::regex_search(
      manifest, std::regex(R"(<windowsSettings>[\s\S]*<longPathAware xmlns=)"
                           R"("http://schemas.microsoft.com/SMI/2016/WindowsSettings">)"
                           R"(\s*true\s*</longPathAware>[\s\S]*</windowsSettings>)")))
      << manifest;
}

INSTANTIATE_TEST_SUITE_P(Shipped, ExeResources,
                         ::testing::Values(TANDREL_WINDOW_EXE, TANDREL_CLI_EXE));

TEST(WindowExe, KeepsTheTransparentWindowIconBesideTheProgramIcon) {
  Module module(ExePath(TANDREL_WINDOW_EXE).c_str());
  ASSERT_NE(module.handle, nullptr);
  EXPECT_EQ(VisiblePixels(module.handle, 100), 0);
}

}  // namespace
