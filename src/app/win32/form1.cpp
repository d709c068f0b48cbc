#include "app/win32/form1.h"

#include <commctrl.h>
#include <uxtheme.h>
#include <vssym32.h>

#include <cmath>
#include <random>
#include <thread>
#include <utility>

#include "app/win32/button_label.h"
#include "app/win32/sync_window.h"
#include "compare/compare_run.h"
#include "compare/last_modified.h"
#include "folders/slot_actions.h"
#include "platform/win32/wide.h"
#include "sync/recovery.h"
#include "sync/sync_run.h"

namespace tandrel {
namespace {

constexpr wchar_t kClassName[] = L"TandrelForm1";
constexpr UINT kCompareDone = WM_APP + 1;
constexpr wchar_t kListTip[] =
    L"Double-click item to remove it. Move bar to right and out of window to reveal full names.";

// Left, top, width and height in twips (15 to the pixel at 96 dots per
// inch), in tab order: creation order is the order of the Tab key.
struct ControlSpec {
  int id;
  const wchar_t* caption;
  int left, top, width, height;
};
constexpr ControlSpec kControls[] = {
    {Form1::kListView1, nullptr, 120, 120, 9015, 615},
    {Form1::kCheck3, L"1. Choose Folder 1", 120, 1560, 2175, 1095},
    {Form1::kCheck2, L"Remove Folder 1", 2400, 1560, 2175, 1095},
    {Form1::kListView2, nullptr, 120, 840, 9015, 615},
    {Form1::kCheck1, L"2. Choose Folder 2", 4680, 1560, 2175, 1095},
    {Form1::kCheck4, L"Remove Folder 2", 6960, 1560, 2175, 1095},
    {Form1::kCheck5, L"3. Compare -- Just Preview Possibilities", 120, 5040, 2655, 1095},
    {Form1::kCheck6, L"4. Sync -- Execute Checked File Operations", 6000, 5040, 3135, 1095},
    {Form1::kListView3, nullptr, 120, 2760, 9015, 2145},
    {Form1::kCheck7, L"Check All", 2880, 5040, 1455, 1095},
    {Form1::kCheck8, L"Uncheck All", 4440, 5040, 1455, 1095},
};
constexpr int kClientWidth = 9255;
constexpr int kClientHeight = 6255;

// The picture resource above each button's caption.
int PictureOf(int id) {
  switch (id) {
    case Form1::kCheck3:
    case Form1::kCheck1:
      return 101;  // an open folder with papers
    case Form1::kCheck2:
    case Form1::kCheck4:
      return 102;  // an eraser
    case Form1::kCheck5:
      return 103;  // a folder with a magnifying glass
    case Form1::kCheck6:
      return 104;  // two documents with arrows between them
    case Form1::kCheck7:
      return 105;  // boxes with ticks
    default:
      return 106;  // empty boxes
  }
}
// The window's own icon in tandrel.rc (fully transparent); icon 1 is the
// program's icon for Explorer.
constexpr int kWindowIcon = 100;
constexpr int kFirstPicture = 101;
constexpr int kPictureCount = 6;

struct ColumnSpec {
  int list;
  const wchar_t* caption;
  int width;  // twips
};
constexpr ColumnSpec kColumns[] = {
    {Form1::kListView1, L"Folder 1", 7000},    {Form1::kListView2, L"Folder 2", 7000},
    {Form1::kListView3, L"Source", 2800},      {Form1::kListView3, L"Action", 2600},
    {Form1::kListView3, L"Destination", 2800},
};

bool IsButton(int id) { return id >= Form1::kCheck1 && id <= Form1::kCheck8; }

int Pixels(int twips, UINT dpi) { return ::MulDiv(twips, static_cast<int>(dpi), 1440); }

HFONT MakeArialBold(int hundredths_of_point, UINT dpi) {
  LOGFONTW font{};
  font.lfHeight = -::MulDiv(hundredths_of_point, static_cast<int>(dpi), 7200);
  font.lfWeight = FW_BOLD;
  font.lfCharSet = DEFAULT_CHARSET;
  font.lfQuality = CLEARTYPE_QUALITY;
  wcscpy_s(font.lfFaceName, L"Arial");
  return ::CreateFontIndirectW(&font);
}

// Seconds since midnight with their fraction, as the seed of the draw.
double SecondsSinceMidnight() {
  SYSTEMTIME now;
  ::GetLocalTime(&now);
  return now.wHour * 3600.0 + now.wMinute * 60.0 + now.wSecond + now.wMilliseconds / 1000.0;
}

}  // namespace

Form1::Form1(std::shared_ptr<FileSystem> fs, std::string executable_folder, std::string home_page)
    : fs_(std::move(fs)),
      executable_folder_(std::move(executable_folder)),
      home_page_(std::move(home_page)) {}

Form1::~Form1() {
  compare_stop_.request_stop();
  if (hwnd_ != nullptr) ::DestroyWindow(hwnd_);
  if (button_font_ != nullptr) ::DeleteObject(button_font_);
  if (list_font_ != nullptr) ::DeleteObject(list_font_);
  if (hand_ != nullptr) ::DestroyCursor(hand_);
  for (HIMAGELIST list : pictures_) ::ImageList_Destroy(list);
}

bool Form1::Create(HINSTANCE instance) {
  instance_ = instance;
  WNDCLASSEXW window_class{};
  window_class.cbSize = sizeof(window_class);
  window_class.lpfnWndProc = &Form1::WindowProc;
  window_class.hInstance = instance;
  window_class.hIcon = ::LoadIconW(instance, MAKEINTRESOURCEW(kWindowIcon));
  window_class.hbrBackground = static_cast<HBRUSH>(::GetStockObject(WHITE_BRUSH));
  window_class.lpszClassName = kClassName;
  ::RegisterClassExW(&window_class);
  // A fixed single border, a minimise button and no maximise button.
  constexpr DWORD kStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
  hwnd_ = ::CreateWindowExW(WS_EX_CONTROLPARENT, kClassName, L"Tandrel", kStyle, CW_USEDEFAULT,
                            CW_USEDEFAULT, 640, 480, nullptr, nullptr, instance, this);
  if (hwnd_ == nullptr) return false;
  shell_.SetOwner(hwnd_);
  CreateControls(instance);
  Layout(::GetDpiForWindow(hwnd_));
  FormLoad();
  return true;
}

void Form1::Show(int show_command) {
  ::ShowWindow(hwnd_, show_command);
  ::UpdateWindow(hwnd_);
  ::SetFocus(Control(kListView1));
}

void Form1::CreateControls(HINSTANCE instance) {
  tooltip_ =
      ::CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr,
                        WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX, CW_USEDEFAULT, CW_USEDEFAULT,
                        CW_USEDEFAULT, CW_USEDEFAULT, hwnd_, nullptr, instance, nullptr);
  ::SendMessageW(tooltip_, TTM_SETMAXTIPWIDTH, 0, 400);
  for (const ControlSpec& spec : kControls) {
    const auto menu = reinterpret_cast<HMENU>(static_cast<INT_PTR>(spec.id));
    if (IsButton(spec.id)) {
      // Two-state buttons drawn as push buttons; the press handler puts
      // each one straight back up.
      ::CreateWindowExW(
          0, WC_BUTTONW, spec.caption,
          WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_AUTOCHECKBOX | BS_PUSHLIKE | BS_MULTILINE, 0, 0,
          0, 0, hwnd_, menu, instance, nullptr);
      continue;
    }
    DWORD style = WS_CHILD | WS_VISIBLE | WS_TABSTOP | WS_BORDER | LVS_REPORT | LVS_SHOWSELALWAYS |
                  LVS_NOSORTHEADER;
    DWORD extended = LVS_EX_FULLROWSELECT | LVS_EX_DOUBLEBUFFER;
    if (spec.id == kListView3) {
      style |= LVS_OWNERDATA;
      extended |= LVS_EX_CHECKBOXES;
    } else {
      style |= LVS_SINGLESEL;
    }
    const HWND list = ::CreateWindowExW(0, WC_LISTVIEWW, nullptr, style, 0, 0, 0, 0, hwnd_, menu,
                                        instance, nullptr);
    ::SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE, extended, extended);
    ::SendMessageW(list, LVM_SETBKCOLOR, 0, RGB(255, 255, 255));
    ::SendMessageW(list, LVM_SETTEXTBKCOLOR, 0, RGB(255, 255, 255));
    if (spec.id == kListView3) ::SendMessageW(list, LVM_SETCALLBACKMASK, LVIS_STATEIMAGEMASK, 0);
    TTTOOLINFOW tool{};
    tool.cbSize = sizeof(tool);
    tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    tool.hwnd = hwnd_;
    tool.uId = reinterpret_cast<UINT_PTR>(list);
    tool.lpszText = const_cast<wchar_t*>(kListTip);
    ::SendMessageW(tooltip_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
  }
  slot1_ = std::make_unique<ListViewSlot>(Control(kListView1));
  slot2_ = std::make_unique<ListViewSlot>(Control(kListView2));
  plan_ = std::make_unique<VirtualPlanList>(Control(kListView3));
}

void Form1::Layout(UINT dpi) {
  if (dpi == 0) dpi = USER_DEFAULT_SCREEN_DPI;
  HFONT old_button_font = std::exchange(button_font_, MakeArialBold(1125, dpi));
  HFONT old_list_font = std::exchange(list_font_, MakeArialBold(900, dpi));
  for (const ControlSpec& spec : kControls) {
    const HWND control = Control(spec.id);
    ::SetWindowPos(control, nullptr, Pixels(spec.left, dpi), Pixels(spec.top, dpi),
                   Pixels(spec.width, dpi), Pixels(spec.height, dpi),
                   SWP_NOZORDER | SWP_NOACTIVATE);
    ::SendMessageW(control, WM_SETFONT,
                   reinterpret_cast<WPARAM>(IsButton(spec.id) ? button_font_ : list_font_), TRUE);
  }
  int column[3] = {0, 0, 0};
  for (const ColumnSpec& spec : kColumns) {
    const int index = spec.list == kListView3 ? column[spec.list - kListView1]++ : 0;
    ::SendMessageW(Control(spec.list), LVM_SETCOLUMNWIDTH, index, Pixels(spec.width, dpi));
  }
  RECT outer{0, 0, Pixels(kClientWidth, dpi), Pixels(kClientHeight, dpi)};
  ::AdjustWindowRectExForDpi(&outer, static_cast<DWORD>(::GetWindowLongPtrW(hwnd_, GWL_STYLE)),
                             FALSE, static_cast<DWORD>(::GetWindowLongPtrW(hwnd_, GWL_EXSTYLE)),
                             dpi);
  ::SetWindowPos(hwnd_, nullptr, 0, 0, outer.right - outer.left, outer.bottom - outer.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  SetPictures(dpi);
  if (old_button_font != nullptr) ::DeleteObject(old_button_font);
  if (old_list_font != nullptr) ::DeleteObject(old_list_font);
}

void Form1::SetPictures(UINT dpi) {
  const int size = ::MulDiv(32, static_cast<int>(dpi), USER_DEFAULT_SCREEN_DPI);
  std::vector<HIMAGELIST> old = std::move(pictures_);
  pictures_.clear();
  for (int i = 0; i < kPictureCount; ++i) {
    const HIMAGELIST list = ::ImageList_Create(size, size, ILC_COLOR32 | ILC_MASK, 1, 0);
    const auto icon = static_cast<HICON>(::LoadImageW(
        instance_, MAKEINTRESOURCEW(kFirstPicture + i), IMAGE_ICON, size, size, LR_DEFAULTCOLOR));
    if (icon != nullptr) {
      ::ImageList_AddIcon(list, icon);
      ::DestroyIcon(icon);
    }
    pictures_.push_back(list);
  }
  for (const ControlSpec& spec : kControls) {
    if (!IsButton(spec.id)) continue;
    BUTTON_IMAGELIST picture{};
    picture.himl = pictures_[static_cast<size_t>(PictureOf(spec.id) - kFirstPicture)];
    picture.uAlign = BUTTON_IMAGELIST_ALIGN_TOP;
    ::SendMessageW(Control(spec.id), BCM_SETIMAGELIST, 0, reinterpret_cast<LPARAM>(&picture));
  }
  for (HIMAGELIST list : old) ::ImageList_Destroy(list);
}

void Form1::FormLoad() {
  const std::string cursor = executable_folder_ + "\\HAND-M.CUR";
  if (FileExists(*fs_, cursor)) {
    hand_ = ::LoadCursorFromFileW(win32::Utf8ToWide(cursor).c_str());
    shell_.SetHandCursor(hand_);
  }
  ::SetWindowTextW(hwnd_, L"Tandrel");
  CenterForm();
  MaybeOpenHomePage();
  const UINT dpi = ::GetDpiForWindow(hwnd_);
  for (const ColumnSpec& spec : kColumns) {
    const HWND list = Control(spec.list);
    LVCOLUMNW column{};
    column.mask = LVCF_TEXT | LVCF_FMT;
    column.fmt = LVCFMT_LEFT;
    column.pszText = const_cast<wchar_t*>(spec.caption);
    const auto count = ::SendMessageW(
        reinterpret_cast<HWND>(::SendMessageW(list, LVM_GETHEADER, 0, 0)), HDM_GETITEMCOUNT, 0, 0);
    const auto index =
        ::SendMessageW(list, LVM_INSERTCOLUMNW, count, reinterpret_cast<LPARAM>(&column));
    ::SendMessageW(list, LVM_SETCOLUMNWIDTH, index, Pixels(spec.width, dpi));
  }
}

void Form1::CenterForm() {
  RECT outer;
  ::GetWindowRect(hwnd_, &outer);
  const double width = outer.right - outer.left;
  const double height = outer.bottom - outer.top;
  const double left = (::GetSystemMetrics(SM_CXSCREEN) - width) / 2;
  const double top = (::GetSystemMetrics(SM_CYSCREEN) - height) / 2;
  ::SetWindowPos(hwnd_, nullptr, static_cast<int>(std::floor(left)),
                 static_cast<int>(std::floor(top)), 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void Form1::MaybeOpenHomePage() {
  std::mt19937_64 generator(static_cast<std::uint64_t>(SecondsSinceMidnight() * 1000.0));
  const double r = std::uniform_real_distribution<double>(0.0, 1.0)(generator);
  const int n = static_cast<int>(r * 100) + 1;
  if (n == 7 && !home_page_.empty()) shell_.StartDetached("explorer", {home_page_}, true);
}

LRESULT CALLBACK Form1::WindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_NCCREATE) {
    auto* create = reinterpret_cast<CREATESTRUCTW*>(lparam);
    ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* form = reinterpret_cast<Form1*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (form == nullptr || form->hwnd_ == nullptr) {
    return ::DefWindowProcW(hwnd, message, wparam, lparam);
  }
  return form->Handle(message, wparam, lparam);
}

LRESULT Form1::Handle(UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_COMMAND:
      if (HIWORD(wparam) == BN_CLICKED && IsButton(LOWORD(wparam))) OnButton(LOWORD(wparam));
      return 0;
    case WM_NOTIFY: {
      LRESULT result = 0;
      OnNotify(reinterpret_cast<const NMHDR*>(lparam), &result);
      return result;
    }
    case WM_SETCURSOR:
      if (OnSetCursor(reinterpret_cast<HWND>(wparam), LOWORD(lparam))) return TRUE;
      break;
    case WM_CTLCOLORBTN:
      return reinterpret_cast<LRESULT>(::GetStockObject(WHITE_BRUSH));
    case kCompareDone: {
      std::unique_ptr<BuildResult> result(reinterpret_cast<BuildResult*>(lparam));
      if (sync_ != nullptr) {
        // The sync's thread reads the plan: the rows wait for its end.
        compare_waiting_ = std::move(result);
        compare_waiting_run_ = static_cast<unsigned>(wparam);
        return 0;
      }
      FinishCompare(std::move(result), static_cast<unsigned>(wparam));
      return 0;
    }
    case WM_DPICHANGED: {
      const auto* suggested = reinterpret_cast<const RECT*>(lparam);
      ::SetWindowPos(hwnd_, nullptr, suggested->left, suggested->top,
                     suggested->right - suggested->left, suggested->bottom - suggested->top,
                     SWP_NOZORDER | SWP_NOACTIVATE);
      Layout(HIWORD(wparam));
      return 0;
    }
    case WM_DESTROY:
      // Closing ends the program at once; a walk under way is abandoned, a
      // sync stops as after Cancel.
      compare_stop_.request_stop();
      if (sync_ != nullptr) sync_->Stop();
      hwnd_ = nullptr;
      ::PostQuitMessage(0);
      return 0;
    default:
      break;
  }
  return ::DefWindowProcW(hwnd_, message, wparam, lparam);
}

void Form1::OnButton(int id) {
  const HWND button = Control(id);
  // The push-button pattern: act only on the press that put the button
  // down, and put it back up before the action's work begins.
  if (::SendMessageW(button, BM_GETCHECK, 0, 0) != BST_CHECKED) return;
  ::SendMessageW(button, BM_SETCHECK, BST_UNCHECKED, 0);
  ::UpdateWindow(button);
  if (sync_ != nullptr) return;
  // A failed sync's red bar on the taskbar has been seen by now.
  if (taskbar_) taskbar_->Clear();
  switch (id) {
    case kCheck3:
      ChooseFolder(*slot1_, shell_);
      break;
    case kCheck1:
      ChooseFolder(*slot2_, shell_);
      break;
    case kCheck2:
      RemoveFolder(*slot1_);
      break;
    case kCheck4:
      RemoveFolder(*slot2_);
      break;
    case kCheck5:
      StartCompare();
      break;
    case kCheck7:
      CheckAll(*plan_);
      break;
    case kCheck8:
      UncheckAll(*plan_);
      break;
    case kCheck6:
      Sync();
      break;
    default:
      break;
  }
}

void Form1::OnNotify(const NMHDR* header, LRESULT* result) {
  const int id = static_cast<int>(header->idFrom);
  if (id == kCheck5 && header->code == NM_CUSTOMDRAW) {
    // The compare button's caption is black; the others keep the system's
    // button text colour.
    *result = DrawButtonLabel(*reinterpret_cast<const NMCUSTOMDRAW*>(header), RGB(0, 0, 0));
    return;
  }
  if (id == kListView3) {
    switch (header->code) {
      case LVN_GETDISPINFOW:
        plan_->FillDisplayInfo(reinterpret_cast<NMLVDISPINFOW*>(const_cast<NMHDR*>(header)));
        break;
      case NM_CLICK:
        plan_->HandleClick(reinterpret_cast<const NMITEMACTIVATE*>(header));
        break;
      case LVN_KEYDOWN:
        *result = plan_->HandleKeyDown(reinterpret_cast<const NMLVKEYDOWN*>(header)) ? 1 : 0;
        break;
      default:
        break;
    }
    return;
  }
  if (header->code == NM_DBLCLK && (id == kListView1 || id == kListView2)) {
    RemoveSelectedFolder(id == kListView1 ? *slot1_ : *slot2_);
  }
}

bool Form1::OnSetCursor(HWND under, WORD hit_test) {
  if (hit_test != HTCLIENT) return false;
  // The window pointer governs the whole window: a move over a button asks
  // for the hand, over a list or the bare window for the arrow, and neither
  // replaces the busy pointer.
  if (shell_.WindowPointer() != Pointer::kBusy) {
    HWND control = under;
    while (control != nullptr && control != hwnd_ && ::GetParent(control) != hwnd_) {
      control = ::GetParent(control);
    }
    const bool over_button =
        control != nullptr && control != hwnd_ && IsButton(::GetDlgCtrlID(control));
    shell_.SetWindowPointer(over_button ? Pointer::kHand : Pointer::kDefault);
  }
  ::SetCursor(shell_.CursorFor(shell_.WindowPointer()));
  return true;
}

void Form1::StartCompare() {
  const std::optional<CompareRequest> request = StartCompareRun(*plan_, *slot1_, *slot2_, shell_);
  if (!request) return;
  compared_ = *request;
  compare_stop_.request_stop();
  compare_stop_ = std::stop_source();
  const unsigned run = ++compare_run_;
  // The thread owns what it reads and is never waited for: closing the
  // window does not wait for a walk to notice that it should stop.
  std::thread([fs = fs_, request = *request, stop = compare_stop_.get_token(), hwnd = hwnd_, run] {
    BuildOptions options;
    options.stop = stop;
    auto result = std::make_unique<BuildResult>(
        RecoverThenBuildPlan(*fs, request.folder1, request.folder2, options));
    if (::PostMessageW(hwnd, kCompareDone, run, reinterpret_cast<LPARAM>(result.get()))) {
      result.release();
    }
  }).detach();
}

void Form1::Sync() {
  if (!taskbar_) taskbar_ = std::make_unique<TaskbarProgress>(hwnd_);
  SyncWindow sync(hwnd_, list_font_, button_font_, shell_, *taskbar_);
  sync_ = &sync;
  sync.Run(*plan_, compared_, *fs_);
  sync_ = nullptr;
  if (compare_waiting_) FinishCompare(std::move(compare_waiting_), compare_waiting_run_);
}

void Form1::FinishCompare(std::unique_ptr<BuildResult> result, unsigned run) {
  if (run != compare_run_) return;
  FinishCompareRun(std::move(*result), *plan_, shell_);
}

}  // namespace tandrel
