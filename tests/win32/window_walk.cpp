// The road of one use through the native window, with a scripted folder
// browser and message boxes: choose both folders, compare, untick a row,
// sync. Checks what the window shows and what was copied, and saves a
// picture of the window after each step into the folder given as the
// first argument (none: no pictures). Exit code 0 when every check held.
// clang-format off
#include <windows.h>
#include <commctrl.h>
#include <uxtheme.h>
// clang-format on

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <deque>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "app/win32/form1.h"
#include "platform/system.h"
#include "platform/win32/wide.h"
#include "platform/win32/win32_shell.h"
#include "support/temp_folder.h"
#include "win32_disk.h"

namespace {

using tandrel::Form1;

int failures = 0;

void Check(bool ok, const std::string& what) {
  if (!ok) {
    ++failures;
    std::fprintf(stderr, "window_walk: FAILED: %s\n", what.c_str());
  }
}

// Runs the message loop for a while, or until `done` holds.
template <typename Done>
void Pump(int milliseconds, Done done) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  while (std::chrono::steady_clock::now() < end && !done()) {
    MSG message;
    while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      ::TranslateMessage(&message);
      ::DispatchMessageW(&message);
    }
    ::Sleep(10);
  }
}
void Pump(int milliseconds) {
  Pump(milliseconds, [] { return false; });
}

// What the screen shows over a window's rectangle: 0x00RRGGBB pixels, top
// row first.
struct ScreenShot {
  int width = 0;
  int height = 0;
  std::vector<DWORD> pixels;
};

ScreenShot Capture(HWND window) {
  RECT rect;
  ::GetWindowRect(window, &rect);
  ScreenShot shot;
  shot.width = rect.right - rect.left;
  shot.height = rect.bottom - rect.top;
  const HDC screen = ::GetDC(nullptr);
  const HDC memory = ::CreateCompatibleDC(screen);
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof(info.bmiHeader);
  info.bmiHeader.biWidth = shot.width;
  info.bmiHeader.biHeight = -shot.height;  // top row first
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  void* bits = nullptr;
  const HBITMAP bitmap = ::CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  const HGDIOBJ old = ::SelectObject(memory, bitmap);
  ::BitBlt(memory, 0, 0, shot.width, shot.height, screen, rect.left, rect.top, SRCCOPY);
  ::GdiFlush();
  const auto* pixels = static_cast<const DWORD*>(bits);
  shot.pixels.assign(pixels, pixels + static_cast<size_t>(shot.width) * shot.height);
  ::SelectObject(memory, old);
  ::DeleteObject(bitmap);
  ::DeleteDC(memory);
  ::ReleaseDC(nullptr, screen);
  return shot;
}

// Saves what the screen shows of the window as a 32-bit BMP file.
void Picture(HWND window, const std::string& folder, const std::string& name) {
  if (folder.empty()) return;
  ScreenShot shot = Capture(window);
  // The screen leaves the fourth byte 0, which viewers would take for
  // transparency.
  for (DWORD& pixel : shot.pixels) pixel |= 0xFF000000;
  BITMAPINFOHEADER header{};
  header.biSize = sizeof(header);
  header.biWidth = shot.width;
  header.biHeight = -shot.height;
  header.biPlanes = 1;
  header.biBitCount = 32;
  const DWORD size = static_cast<DWORD>(shot.pixels.size() * sizeof(DWORD));
  BITMAPFILEHEADER file{};
  file.bfType = 0x4D42;
  file.bfOffBits = sizeof(file) + sizeof(header);
  file.bfSize = file.bfOffBits + size;
  std::ofstream out(tandrel::win32::Utf8ToWide(folder + "\\" + name + ".bmp").c_str(),
                    std::ios::binary);
  out.write(reinterpret_cast<const char*>(&file), sizeof(file));
  out.write(reinterpret_cast<const char*>(&header), sizeof(header));
  out.write(reinterpret_cast<const char*>(shot.pixels.data()), size);
}

// The pixels of exactly `colour` that the screen shows in the lower part of
// a button, inside its frame: where its caption is, below its picture.
int CaptionPixels(HWND button, COLORREF colour) {
  const ScreenShot shot = Capture(button);
  // A DIB holds 0x00RRGGBB, a COLORREF 0x00BBGGRR.
  const DWORD wanted = (GetRValue(colour) << 16) | (GetGValue(colour) << 8) | GetBValue(colour);
  int count = 0;
  for (int y = shot.height * 11 / 20; y < shot.height - 4; ++y) {
    for (int x = 4; x < shot.width - 4; ++x) {
      count += (shot.pixels[y * shot.width + x] & 0xFFFFFF) == wanted;
    }
  }
  return count;
}

void Press(Form1& form, int id) {
  ::SendMessageW(form.Control(id), BM_CLICK, 0, 0);
  Check(::SendMessageW(form.Control(id), BM_GETCHECK, 0, 0) == BST_UNCHECKED,
        "button " + std::to_string(id) + " is up again after its press");
}

// Writes a 32 by 32 cursor file (a filled square, hot spot in its middle).
void WriteCursorFile(const std::string& path) {
  std::string bytes;
  auto put16 = [&](unsigned v) { bytes.append({char(v & 0xFF), char(v >> 8)}); };
  auto put32 = [&](unsigned v) { put16(v & 0xFFFF), put16(v >> 16); };
  const unsigned pixels = 32 * 32 * 4;
  const unsigned mask = 32 * 4;  // one bit per pixel, rows of four bytes
  const unsigned image = 40 + pixels + mask;
  put16(0), put16(2), put16(1);  // a cursor file, one image
  bytes.append({32, 32, 0, 0}), put16(16), put16(16), put32(image), put32(6 + 16);
  put32(40), put32(32), put32(64), put16(1), put16(32), put32(0), put32(pixels + mask);
  put32(0), put32(0), put32(0), put32(0);
  for (unsigned i = 0; i < 32 * 32; ++i) put32(0xFF2050C0);  // opaque blue
  bytes.append(mask, '\0');                                  // all pixels shown
  tandrel::testing::WriteFile(path, bytes);
}

// A file of `size` zero bytes that takes no room on disk where the file
// system can leave holes: a copy of it still writes every byte.
bool MakeSparseFile(const std::string& path, LONGLONG size) {
  const HANDLE file = ::CreateFileW(tandrel::win32::Utf8ToWide(path).c_str(), GENERIC_WRITE, 0,
                                    nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER end;
  end.QuadPart = size;
  const bool made = ::SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && ::SetEndOfFile(file);
  ::CloseHandle(file);
  return made;
}

std::wstring TextOf(HWND window) {
  wchar_t text[512] = {};
  ::GetWindowTextW(window, text, 512);
  return text;
}

// A shown window with the caption "Tandrel", owned by `owner`,
// that has a child of `child_class` whose text begins with `child_text`.
HWND FindOwned(HWND owner, const wchar_t* child_class, const std::wstring& child_text) {
  for (HWND window = ::FindWindowExW(nullptr, nullptr, nullptr, L"Tandrel"); window != nullptr;
       window = ::FindWindowExW(nullptr, window, nullptr, L"Tandrel")) {
    if (::GetWindow(window, GW_OWNER) != owner || !::IsWindowVisible(window)) continue;
    for (HWND child = ::FindWindowExW(window, nullptr, child_class, nullptr); child != nullptr;
         child = ::FindWindowExW(window, child, child_class, nullptr)) {
      if (TextOf(child).starts_with(child_text)) return window;
    }
  }
  return nullptr;
}

std::chrono::milliseconds Since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start);
}

// What a second thread saw of a long sync while the window's thread ran it.
struct LongSyncWatch {
  HWND progress = nullptr;
  bool has_bar = false;
  bool path_ellipsis = false;
  std::wstring rows_first, rows_later;
  bool main_disabled_throughout = true;
  int answers = 0;     // WM_NULLs answered
  int unanswered = 0;  // WM_NULLs not answered within 100 ms
  std::chrono::milliseconds longest_answer{0};
  // From one answer to the next, pings every 20 ms: a thread that stops
  // answering for the length of a copy shows here, a scheduling hiccup of a
  // loaded machine does not.
  std::chrono::milliseconds longest_silence{0};
  std::chrono::milliseconds cancel_to_message{-1};
  bool progress_gone_by_message = false;
  std::wstring stopped_text;
};

// Watches a sync started on the window's thread: finds the progress window,
// waits for its rows text to change, presses Cancel and closes the message
// that follows. Asks the main window for an answer every 20 ms meanwhile.
LongSyncWatch WatchLongSync(HWND main, const std::string& pictures) {
  using Clock = std::chrono::steady_clock;
  LongSyncWatch watch;
  auto last_answer = Clock::now();
  auto ping = [&] {
    DWORD_PTR result = 0;
    const auto start = Clock::now();
    if (!::SendMessageTimeoutW(main, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 100, &result)) {
      ++watch.unanswered;
    } else {
      ++watch.answers;
      watch.longest_silence = std::max(watch.longest_silence, Since(last_answer));
      last_answer = Clock::now();
    }
    watch.longest_answer = std::max(watch.longest_answer, Since(start));
    ::Sleep(20);
  };
  // The first STATIC child whose text names rows.
  auto rows_text = [&] {
    for (HWND child = ::FindWindowExW(watch.progress, nullptr, L"Static", nullptr);
         child != nullptr; child = ::FindWindowExW(watch.progress, child, L"Static", nullptr)) {
      const std::wstring text = TextOf(child);
      if (text.ends_with(L" rows")) return text;
    }
    return std::wstring();
  };
  bool cancelled = false;
  auto wait = [&](int seconds, auto done) {
    const auto end = Clock::now() + std::chrono::seconds(seconds);
    while (Clock::now() < end && !done()) {
      if (watch.progress != nullptr && !cancelled && ::IsWindowEnabled(main)) {
        watch.main_disabled_throughout = false;
      }
      ping();
    }
    return done();
  };
  if (!wait(20, [&] { return (watch.progress = FindOwned(main, L"Button", L"Cancel")); })) {
    return watch;
  }
  watch.has_bar = ::FindWindowExW(watch.progress, nullptr, PROGRESS_CLASSW, nullptr) != nullptr &&
                  ::SendMessageW(::FindWindowExW(watch.progress, nullptr, PROGRESS_CLASSW, nullptr),
                                 PBM_GETRANGE, FALSE, 0) == 1000;
  for (HWND child = ::FindWindowExW(watch.progress, nullptr, L"Static", nullptr); child != nullptr;
       child = ::FindWindowExW(watch.progress, child, L"Static", nullptr)) {
    if ((::GetWindowLongW(child, GWL_STYLE) & SS_ELLIPSISMASK) == SS_PATHELLIPSIS) {
      watch.path_ellipsis = TextOf(child).find(L"big") != std::wstring::npos;
    }
  }
  wait(5, [&] { return !rows_text().empty(); });
  watch.rows_first = rows_text();
  wait(60, [&] { return !rows_text().starts_with(L"0 of"); });
  watch.rows_later = rows_text();
  if (!pictures.empty()) {
    wait(1, [] { return false; });  // a rate and a time left to show
    Picture(watch.progress, pictures, "6-progress");
  }

  const HWND cancel = ::FindWindowExW(watch.progress, nullptr, L"Button", L"Cancel");
  const auto cancel_time = Clock::now();
  cancelled = true;
  ::SendMessageW(cancel, BM_CLICK, 0, 0);
  HWND box = nullptr;
  wait(10, [&] { return (box = FindOwned(main, L"Static", L"Stopped.")); });
  if (box == nullptr) return watch;
  watch.cancel_to_message = Since(cancel_time);
  watch.progress_gone_by_message = !::IsWindow(watch.progress);
  for (HWND child = ::FindWindowExW(box, nullptr, L"Static", nullptr); child != nullptr;
       child = ::FindWindowExW(box, child, L"Static", nullptr)) {
    if (TextOf(child).starts_with(L"Stopped.")) watch.stopped_text = TextOf(child);
  }
  ::PostMessageW(box, WM_COMMAND, IDOK, 0);
  return watch;
}

// What a second thread saw of the message that ends a sync, held open for
// two seconds as a person reading it would before pressing OK.
struct ClosingBoxWatch {
  bool progress_seen = false;  // before the box appeared
  HWND box = nullptr;
  int looks = 0;
  int covered = 0;  // looks that found the progress window up, or the box not in front
};

ClosingBoxWatch WatchClosingBox(HWND main, const std::wstring& text, const std::string& pictures,
                                const std::string& picture) {
  ClosingBoxWatch watch;
  const auto progress_up = [main] { return FindOwned(main, L"Button", L"Cancel") != nullptr; };
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (std::chrono::steady_clock::now() < until &&
         (watch.box = FindOwned(main, L"Static", text)) == nullptr) {
    watch.progress_seen |= progress_up();
    ::Sleep(20);
  }
  if (watch.box == nullptr) return watch;
  for (int i = 0; i < 20; ++i) {
    ::Sleep(100);
    ++watch.looks;
    if (progress_up() || ::GetForegroundWindow() != watch.box) ++watch.covered;
  }
  Picture(main, pictures, picture);
  ::PostMessageW(watch.box, WM_COMMAND, IDOK, 0);
  return watch;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string pictures = argc > 1 ? argv[1] : "";
  tandrel::ComApartment com;
  INITCOMMONCONTROLSEX controls{};
  controls.dwSize = sizeof(controls);
  controls.dwICC = ICC_LISTVIEW_CLASSES | ICC_STANDARD_CLASSES | ICC_BAR_CLASSES;
  ::InitCommonControlsEx(&controls);

  tandrel::testing::TempFolder tmp;
  const std::string one = tmp.Write("one\\a.txt", "a", 1'577'836'800);
  tmp.Write("one\\sub\\\xce\xb1\xce\xb2\xce\xb3.txt", "greek", 1'577'836'800);
  tmp.Write("one\\same.txt", "newer", 1'577'840'400);
  tmp.Write("two\\b.txt", "b", 1'577'836'800);
  tmp.Write("two\\same.txt", "older", 1'577'836'800);
  const std::string folder1 = tmp.path() + "one";  // as the browser gives it: no separator
  const std::string folder2 = tmp.path() + "two";

  // The folder of the executable, as the window sees it, holds a cursor.
  const std::string program_folder = tmp.MakeFolder("program");
  WriteCursorFile(program_folder + "\\HAND-M.CUR");
  {
    Form1 without(tandrel::MakeRealFileSystem(), tmp.path() + "one", "");
    Check(without.Create(::GetModuleHandleW(nullptr)), "a window without a cursor file");
    Check(without.shell().CursorFor(tandrel::Pointer::kHand) == ::LoadCursorW(nullptr, IDC_ARROW),
          "without HAND-M.CUR the hand pointer is the arrow");
  }
  Form1 form(tandrel::MakeRealFileSystem(), program_folder, "");
  if (!form.Create(::GetModuleHandleW(nullptr))) {
    std::fprintf(stderr, "window_walk: no window\n");
    return 1;
  }
  std::deque<std::string> picks{folder1, folder2};
  std::vector<std::string> titles;
  std::vector<std::string> messages;
  const auto scripted_browse = [&](const std::string& title) {
    titles.push_back(title);
    std::string pick = picks.empty() ? std::string() : picks.front();
    if (!picks.empty()) picks.pop_front();
    return pick;
  };
  const auto scripted_message = [&](const std::string& text) { messages.push_back(text); };
  form.shell().SetScript(scripted_browse, scripted_message);
  form.Show(SW_SHOWNORMAL);
  Pump(700);
  wchar_t caption[64] = {};
  ::GetWindowTextW(form.hwnd(), caption, 64);
  Check(std::wstring(caption) == L"Tandrel", "the caption is Tandrel");
  // Icon 1 is the program's icon for Explorer; the window keeps the
  // transparent one (100), and LoadIcon hands out one handle per resource.
  Check(reinterpret_cast<HICON>(::GetClassLongPtrW(form.hwnd(), GCLP_HICON)) ==
            ::LoadIconW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(100)),
        "the window's icon is the transparent one");
  Check(::GetFocus() == form.Control(Form1::kListView1), "the focus starts on ListView1");
  for (int id = Form1::kCheck1; id <= Form1::kCheck8; ++id) {
    BUTTON_IMAGELIST picture{};
    ::SendMessageW(form.Control(id), BCM_GETIMAGELIST, 0, reinterpret_cast<LPARAM>(&picture));
    Check(picture.himl != nullptr && ::ImageList_GetImageCount(picture.himl) == 1 &&
              picture.uAlign == BUTTON_IMAGELIST_ALIGN_TOP,
          "button " + std::to_string(id) + " has its picture above the caption");
  }
  auto font_of = [&](int id) {
    LOGFONTW font{};
    ::GetObjectW(reinterpret_cast<HFONT>(::SendMessageW(form.Control(id), WM_GETFONT, 0, 0)),
                 sizeof(font), &font);
    return font;
  };
  for (int id : {Form1::kListView1, Form1::kListView3, Form1::kCheck5}) {
    const LOGFONTW font = font_of(id);
    Check(std::wstring(font.lfFaceName) == L"Arial" && font.lfWeight == FW_BOLD,
          "control " + std::to_string(id) + " uses bold Arial");
  }
  Check(font_of(Form1::kListView1).lfHeight == -12, "lists use 9 points (12 pixels at 96 dpi)");
  Check(font_of(Form1::kCheck5).lfHeight == -15, "buttons use 11.25 points (15 pixels)");
  // The design at 96 dots per inch: client area, control places and column
  // widths in pixels (15 twips each), the window in the middle of the screen.
  if (::GetDpiForWindow(form.hwnd()) == 96) {
    RECT client;
    ::GetClientRect(form.hwnd(), &client);
    Check(client.right == 617 && client.bottom == 417, "the client area is 617 by 417");
    auto place = [&](int id) {
      RECT r;
      ::GetWindowRect(form.Control(id), &r);
      ::MapWindowPoints(nullptr, form.hwnd(), reinterpret_cast<POINT*>(&r), 2);
      return std::vector<long>{r.left, r.top, r.right - r.left, r.bottom - r.top};
    };
    Check(place(Form1::kListView1) == std::vector<long>{8, 8, 601, 41}, "ListView1's place");
    Check(place(Form1::kCheck1) == std::vector<long>{312, 104, 145, 73}, "Check1's place");
    Check(place(Form1::kListView3) == std::vector<long>{8, 184, 601, 143}, "ListView3's place");
    Check(place(Form1::kCheck6) == std::vector<long>{400, 336, 209, 73}, "Check6's place");
    auto width = [&](int id, int column) {
      return ::SendMessageW(form.Control(id), LVM_GETCOLUMNWIDTH, column, 0);
    };
    Check(width(Form1::kListView1, 0) == 467 && width(Form1::kListView2, 0) == 467 &&
              width(Form1::kListView3, 0) == 187 && width(Form1::kListView3, 1) == 173 &&
              width(Form1::kListView3, 2) == 187,
          "the column widths");
    RECT outer;
    ::GetWindowRect(form.hwnd(), &outer);
    Check(outer.left == (::GetSystemMetrics(SM_CXSCREEN) - (outer.right - outer.left)) / 2 &&
              outer.top == (::GetSystemMetrics(SM_CYSCREEN) - (outer.bottom - outer.top)) / 2,
          "the window stands in the middle of the screen");
  } else {
    std::fprintf(stderr, "window_walk: the design is checked at 96 dots per inch only\n");
  }

  // The lists carry the tooltip.
  struct Tips {
    HWND owner;
    HWND found = nullptr;
  } tips{form.hwnd()};
  ::EnumThreadWindows(
      ::GetCurrentThreadId(),
      [](HWND window, LPARAM data) {
        auto* tips = reinterpret_cast<Tips*>(data);
        wchar_t name[64] = {};
        ::GetClassNameW(window, name, 64);
        if (std::wstring(name) == TOOLTIPS_CLASSW && ::GetWindow(window, GW_OWNER) == tips->owner) {
          tips->found = window;
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&tips));
  Check(tips.found != nullptr && ::SendMessageW(tips.found, TTM_GETTOOLCOUNT, 0, 0) == 3,
        "one tooltip with a tool for each list");
  for (int id : {Form1::kListView1, Form1::kListView2, Form1::kListView3}) {
    wchar_t text[128] = {};
    TTTOOLINFOW tool{};
    tool.cbSize = sizeof(tool);
    tool.hwnd = form.hwnd();
    tool.uId = reinterpret_cast<UINT_PTR>(form.Control(id));
    tool.lpszText = text;
    if (tips.found != nullptr) {
      ::SendMessageW(tips.found, TTM_GETTEXTW, 128, reinterpret_cast<LPARAM>(&tool));
    }
    Check(std::wstring(text) ==
              L"Double-click item to remove it. Move bar to right and out of window to reveal "
              L"full names.",
          "list " + std::to_string(id) + " has the tooltip text");
  }
  Picture(form.hwnd(), pictures, "1-start");

  // Check5's caption is black whatever the button text colour is; the
  // other captions follow that colour, made blue here for a moment. A visual
  // style draws captions in its own colour, so the buttons go without one
  // meanwhile.
  {
    const int element = COLOR_BTNTEXT;
    const COLORREF usual = ::GetSysColor(COLOR_BTNTEXT);
    const COLORREF black = RGB(0, 0, 0);
    const COLORREF blue = RGB(0, 0, 255);
    auto restyle = [&](const wchar_t* style) {
      for (int id = Form1::kCheck1; id <= Form1::kCheck8; ++id) {
        ::SetWindowTheme(form.Control(id), style, style);
        ::SendMessageW(form.Control(id), WM_THEMECHANGED, 0, 0);
        ::RedrawWindow(form.Control(id), nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE);
      }
      Pump(300);
    };
    ::SetSysColors(1, &element, &blue);
    restyle(L" ");
    const HWND check5 = form.Control(Form1::kCheck5);
    const HWND check6 = form.Control(Form1::kCheck6);
    Check(::GetWindowTheme(check6) == nullptr, "the buttons can go without a visual style");
    Check(CaptionPixels(check5, black) > 20 && CaptionPixels(check5, blue) == 0,
          "Check5's caption is black");
    Check(CaptionPixels(check6, blue) > 20 && CaptionPixels(check6, black) == 0,
          "Check6's caption has the button text colour");
    Picture(form.hwnd(), pictures, "1a-caption-colours");
    ::SetSysColors(1, &element, &usual);
    restyle(nullptr);
  }

  form.shell().SetScript(nullptr, nullptr);
  // The real folder browser over the window, with its title, cancelled.
  std::atomic<bool> saw_title{false};
  std::thread closer([&] {
    for (int i = 0; i < 1000; ++i) {
      const HWND dialog = ::FindWindowW(L"#32770", nullptr);
      if (dialog != nullptr && ::GetWindow(dialog, GW_OWNER) == form.hwnd()) {
        ::Sleep(500);  // let the dialog fill itself in
        Picture(dialog, pictures, "1b-folder-browser");
        ::EnumChildWindows(
            dialog,
            [](HWND child, LPARAM flag) {
              wchar_t text[64] = {};
              ::GetWindowTextW(child, text, 64);
              if (std::wstring(text) == L"Please select folder") {
                *reinterpret_cast<std::atomic<bool>*>(flag) = true;
              }
              return TRUE;
            },
            reinterpret_cast<LPARAM>(&saw_title));
        ::PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
        return;
      }
      ::Sleep(20);
    }
  });
  const std::string cancelled = form.shell().BrowseForFolder("Please select folder");
  closer.join();
  Check(cancelled.empty(), "a cancelled folder browser gives empty text");
  Check(saw_title, "the folder browser shows its title");

  form.shell().SetScript(scripted_browse, scripted_message);

  Press(form, Form1::kCheck3);
  Press(form, Form1::kCheck1);
  Press(form, Form1::kCheck3);  // a filled slot refuses
  Pump(300);
  Check(form.shell().WindowPointer() == tandrel::Pointer::kDefault,
        "the pointer is the default one after choosing");
  Check(titles == std::vector<std::string>{"Please select folder", "Please select folder"},
        "the browser was asked twice, with its title");
  Check(form.slot1().Count() == 1 && form.slot1().Text(1) == folder1 + "\\",
        "Folder 1 holds the chosen folder with one backslash");
  Check(form.slot2().Count() == 1 && form.slot2().Text(1) == folder2 + "\\",
        "Folder 2 holds the chosen folder with one backslash");
  Check(messages == std::vector<std::string>{"You already have a folder selected."},
        "a second choice is refused");
  Picture(form.hwnd(), pictures, "2-folders");

  Press(form, Form1::kCheck5);
  Pump(10'000, [&] { return form.plan().Count() > 0; });
  Pump(300);
  tandrel::PlanList& plan = form.plan();
  Check(plan.Count() == 4, "the plan has 4 rows, has " + std::to_string(plan.Count()));
  for (int i = 1; i <= plan.Count(); ++i) Check(plan.Row(i).checked, "every row is ticked");
  Picture(form.hwnd(), pictures, "3-plan");

  Press(form, Form1::kCheck8);
  for (int i = 1; i <= plan.Count(); ++i) Check(!plan.Row(i).checked, "Uncheck All unticks");
  Press(form, Form1::kCheck7);
  for (int i = 1; i <= plan.Count(); ++i) Check(plan.Row(i).checked, "Check All ticks");

  // The user selects the row that would copy b.txt into Folder 1 and
  // unticks it with the space bar.
  const HWND list3 = form.Control(Form1::kListView3);
  for (int i = 1; i <= plan.Count(); ++i) {
    if (plan.Row(i).source != folder2 + "\\b.txt") continue;
    LVITEMW select{};
    select.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
    select.state = LVIS_SELECTED | LVIS_FOCUSED;
    ::SendMessageW(list3, LVM_SETITEMSTATE, i - 1, reinterpret_cast<LPARAM>(&select));
  }
  ::SetFocus(list3);
  ::SendMessageW(list3, WM_KEYDOWN, VK_SPACE, 0);
  ::SendMessageW(list3, WM_CHAR, L' ', 0);
  ::SendMessageW(list3, WM_KEYUP, VK_SPACE, 0);
  Pump(200);
  int ticked = 0;
  for (int i = 1; i <= plan.Count(); ++i) ticked += plan.Row(i).checked ? 1 : 0;
  Check(ticked == 3, "the space bar unticked one row, ticked now: " + std::to_string(ticked));
  Picture(form.hwnd(), pictures, "4-unticked");

  // The pointer: the hand over a button, the arrow over a list and the bare
  // window, and the busy pointer stays whatever the mouse crosses.
  auto move_over = [&](HWND control) {
    ::SendMessageW(form.hwnd(), WM_SETCURSOR, reinterpret_cast<WPARAM>(control),
                   MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
    return form.shell().WindowPointer();
  };
  Check(move_over(form.Control(Form1::kCheck5)) == tandrel::Pointer::kHand, "hand over a button");
  const HCURSOR hand = form.shell().CursorFor(tandrel::Pointer::kHand);
  Check(hand != nullptr && hand != ::LoadCursorW(nullptr, IDC_ARROW),
        "the hand pointer is the image of HAND-M.CUR");
  Check(::GetCursor() == hand, "the hand is what is shown");
  Check(move_over(list3) == tandrel::Pointer::kDefault, "arrow over a list");
  Check(move_over(form.Control(Form1::kCheck6)) == tandrel::Pointer::kHand, "hand again");
  Check(move_over(form.hwnd()) == tandrel::Pointer::kDefault, "arrow over the bare window");
  form.shell().SetWindowPointer(tandrel::Pointer::kBusy);
  Check(move_over(form.Control(Form1::kCheck5)) == tandrel::Pointer::kBusy, "busy stays busy");
  form.shell().SetWindowPointer(tandrel::Pointer::kDefault);

  Press(form, Form1::kCheck6);
  Pump(300);
  Check(messages.size() == 2 && messages.back() == "Done.", "the sync run ends with Done.");
  Check(form.plan().Count() == 0, "the plan is empty after the sync run");
  Check(tandrel::testing::ReadFile(folder2 + "\\a.txt") == "a", "a.txt was copied to Folder 2");
  Check(tandrel::testing::ReadFile(folder2 + "\\\xce\xb1\xce\xb2\xce\xb3.txt") == "greek",
        "the Greek name was copied to the top of Folder 2");
  Check(tandrel::testing::ReadFile(folder2 + "\\same.txt") == "newer",
        "the newer same.txt overwrote the older one");
  Check(tandrel::testing::ReadFile(folder1 + "\\b.txt") == "<missing>",
        "the unticked row was not performed");
  Picture(form.hwnd(), pictures, "5-synced");

  // A double-click on Folder 1's selected entry removes it; Remove Folder 2
  // empties the other slot.
  const HWND list1 = form.Control(Form1::kListView1);
  LVITEMW select{};
  select.stateMask = LVIS_SELECTED;
  select.state = LVIS_SELECTED;
  ::SendMessageW(list1, LVM_SETITEMSTATE, 0, reinterpret_cast<LPARAM>(&select));
  NMITEMACTIVATE double_click{};
  double_click.hdr.hwndFrom = list1;
  double_click.hdr.idFrom = Form1::kListView1;
  double_click.hdr.code = NM_DBLCLK;
  double_click.iItem = 0;
  ::SendMessageW(form.hwnd(), WM_NOTIFY, Form1::kListView1,
                 reinterpret_cast<LPARAM>(&double_click));
  Check(form.slot1().Count() == 0, "a double-click removed Folder 1");
  Press(form, Form1::kCheck4);
  Check(form.slot2().Count() == 0, "Remove Folder 2 emptied its slot");
  Press(form, Form1::kCheck5);
  Check(messages.back() == "Please select two folders to compare.",
        "compare without folders asks for two");

  // A sync long enough for the progress window, stopped with its Cancel: the
  // window's thread keeps answering, the main window stays out of reach
  // until the run has finished, and the rows not done stay in the plan.
  {
    constexpr int kFiles = 12;
    const std::string big1 = tmp.MakeFolder("big1");
    const std::string big2 = tmp.MakeFolder("big2");
    bool made = true;
    for (int i = 0; i < kFiles; ++i) {
      made &= MakeSparseFile(big1 + "\\big" + std::to_string(i) + ".bin", 256LL << 20);
    }
    Check(made, "the big files were made");
    picks = {big1, big2};
    // Real message boxes from here on.
    form.shell().SetScript(scripted_browse, nullptr);
    Press(form, Form1::kCheck3);
    Press(form, Form1::kCheck1);
    Press(form, Form1::kCheck5);
    Pump(10'000, [&] { return form.plan().Count() == kFiles; });
    Check(form.plan().Count() == kFiles, "the plan copies each big file");

    LongSyncWatch watch;
    std::thread watcher([&] { watch = WatchLongSync(form.hwnd(), pictures); });
    Press(form, Form1::kCheck6);
    watcher.join();
    std::printf(
        "window_walk: longest wait for an answer %lld ms (%d over 100 ms), longest silence %lld "
        "ms, Cancel to its message %lld ms\n",
        static_cast<long long>(watch.longest_answer.count()), watch.unanswered,
        static_cast<long long>(watch.longest_silence.count()),
        static_cast<long long>(watch.cancel_to_message.count()));
    Check(watch.progress != nullptr, "a long sync shows the progress window");
    Check(watch.has_bar, "the progress window has a bar from 0 to 1000");
    Check(watch.path_ellipsis, "the file being copied is shown, shortened in the middle");
    Check(!watch.rows_first.empty() && watch.rows_later != watch.rows_first,
          "the rows text moved on");
    Check(watch.main_disabled_throughout, "the main window is out of reach during the sync");
    // How promptly the window answered and Cancel took effect are the
    // figures printed above, not checks: a busy machine stalls anyone. The
    // behaviour is: the window kept answering, and Cancel ended the run
    // with its message, rows not done left in the plan.
    Check(watch.answers > 10, "the window's thread kept answering");
    Check(watch.cancel_to_message >= std::chrono::milliseconds(0),
          "Cancel ended the run with its message");
    Check(watch.progress_gone_by_message, "the progress window is gone when Stopped. shows");
    Check(watch.stopped_text.ends_with(L" of 12 rows were done.") &&
              watch.stopped_text != L"Stopped. 0 of 12 rows were done.",
          "the message says how many rows were done");
    Check(::IsWindowEnabled(form.hwnd()), "the main window is the user's again");
    Check(form.plan().Count() == kFiles, "the plan keeps its rows");
    WIN32_FIND_DATAW found;
    const HANDLE leftovers =
        ::FindFirstFileW(tandrel::win32::Utf8ToWide(big2 + "\\~tandrel-*.tmp").c_str(), &found);
    Check(leftovers == INVALID_HANDLE_VALUE, "no temporary file is left");
    if (leftovers != INVALID_HANDLE_VALUE) ::FindClose(leftovers);
    Picture(form.hwnd(), pictures, "7-stopped");
  }

  // The message that ends a sync is alone in front for as long as the user
  // reads it, whether or not the progress window was up before; OK then
  // empties the plan. A quick run, and one long enough for the progress.
  for (const bool slow : {false, true}) {
    const std::string name = slow ? "slow" : "quick";
    const std::string from = tmp.MakeFolder(name + "1");
    const std::string to = tmp.MakeFolder(name + "2");
    tmp.Write(name + "1\\small.txt", "small", 1'577'836'800);
    if (slow) {
      bool made = true;
      for (int i = 0; i < 3; ++i) {
        made &= MakeSparseFile(from + "\\big" + std::to_string(i) + ".bin", 192LL << 20);
      }
      Check(made, "the big files were made");
    }
    picks = {from, to};
    Press(form, Form1::kCheck2);
    Press(form, Form1::kCheck4);
    Press(form, Form1::kCheck3);
    Press(form, Form1::kCheck1);
    Press(form, Form1::kCheck5);
    const int rows = slow ? 4 : 1;
    Pump(10'000, [&] { return form.plan().Count() == rows; });
    ClosingBoxWatch watch;
    std::thread watcher(
        [&] { watch = WatchClosingBox(form.hwnd(), L"Done.", pictures, "8-done-" + name); });
    Press(form, Form1::kCheck6);
    watcher.join();
    Check(watch.box != nullptr, name + ": the sync ends with Done.");
    Check(watch.progress_seen == slow,
          name + (slow ? ": the progress window showed first" : ": no progress window"));
    Check(watch.looks == 20 && watch.covered == 0,
          name + ": Done. stayed in front for two seconds, covered at " +
              std::to_string(watch.covered) + " of " + std::to_string(watch.looks) + " looks");
    Pump(300);
    Check(form.plan().Count() == 0, name + ": OK emptied the plan");
    Check(::IsWindowEnabled(form.hwnd()), name + ": the main window is the user's again");
  }

  // Closing the window ends the program.
  ::SendMessageW(form.hwnd(), WM_CLOSE, 0, 0);
  MSG quit{};
  Check(!::IsWindow(form.hwnd()) && ::PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE),
        "closing the window ends the program");
  std::printf("window_walk: %s\n", failures == 0 ? "every check held" : "some checks failed");
  return failures == 0 ? 0 : 1;
}
