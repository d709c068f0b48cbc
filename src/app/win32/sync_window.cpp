#include "app/win32/sync_window.h"

#include <commctrl.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <utility>

#include "platform/win32/handles.h"
#include "platform/win32/wide.h"
#include "sync/sync_progress.h"

namespace tandrel {
namespace {

constexpr wchar_t kProgressClass[] = L"TandrelSyncProgress";
constexpr UINT_PTR kRefreshTimer = 1;
constexpr UINT kProgressRange = 1000;

enum ProgressId : int { kRowsText = 1001, kBar, kBytesText, kFileText };

// The progress window's design in pixels at 96 dots per inch: client area,
// margin, and the top and height of each line.
constexpr int kWidth = 440, kHeight = 152, kMargin = 12;
constexpr int kRowsTop = 12, kTextHeight = 16;
constexpr int kBarTop = 34, kBarHeight = 18;
constexpr int kBytesTop = 60, kFileTop = 80;
constexpr int kButtonTop = 110, kButtonWidth = 104, kButtonHeight = 30;

using Font = win32::UniqueHandle<HGDIOBJ, ::DeleteObject>;
using Event = win32::UniqueHandle<HANDLE, ::CloseHandle>;

LOGFONTW FontOf(HFONT font) {
  LOGFONTW description{};
  ::GetObjectW(font, sizeof(description), &description);
  return description;
}

}  // namespace

TaskbarProgress::TaskbarProgress(HWND window) : window_(window) {
  ITaskbarList3* list = nullptr;
  if (FAILED(::CoCreateInstance(CLSID_TaskbarList, nullptr, CLSCTX_INPROC_SERVER,
                                IID_PPV_ARGS(&list)))) {
    return;
  }
  list_.reset(list);
  if (FAILED(list_->HrInit())) list_.reset();
}

void TaskbarProgress::Show(int per_mille) {
  if (!list_) return;
  list_->SetProgressState(window_, TBPF_NORMAL);
  list_->SetProgressValue(window_, static_cast<ULONGLONG>(per_mille), kProgressRange);
}

void TaskbarProgress::ShowFailed() {
  if (list_) list_->SetProgressState(window_, TBPF_ERROR);
}

void TaskbarProgress::Clear() {
  if (list_) list_->SetProgressState(window_, TBPF_NOPROGRESS);
}

// What the run's thread hands over, run on the window's thread in the order
// given. An event wakes the window's loop: a posted message per task could
// overflow the message queue (10,000) on a plan of small files, and would be
// lost with a window destroyed under the run, which then waits for ever.
class SyncWindow::TaskQueue {
 public:
  TaskQueue() : ready_(::CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}

  void Post(SyncThread::Task task) {
    {
      std::lock_guard lock(mutex_);
      tasks_.push_back(std::move(task));
    }
    ::SetEvent(ready_.get());
  }

  // One at a time, so that the tasks keep their order even when one of
  // them runs a message loop (a message box) that comes back here.
  void RunWaiting() {
    for (;;) {
      SyncThread::Task task;
      {
        std::lock_guard lock(mutex_);
        if (tasks_.empty()) return;
        task = std::move(tasks_.front());
        tasks_.pop_front();
      }
      task();
    }
  }

  HANDLE ready() const { return ready_.get(); }

 private:
  Event ready_;
  std::mutex mutex_;
  std::deque<SyncThread::Task> tasks_;
};

// The shell as the run's tasks see it. A message box enables its owner when
// it closes, which would hand the main window back to the user mid-run: the
// main window owns the boxes (the progress window is hidden while one is
// up) and is disabled again at once.
class SyncWindow::ModalShell final : public Shell {
 public:
  ModalShell(Win32Shell& shell, HWND owner) : shell_(shell), owner_(owner) {}

  void ShowMessage(const std::string& text) override {
    Owned([&] { shell_.ShowMessage(text); });
  }
  Pointer WindowPointer() const override { return shell_.WindowPointer(); }
  void SetWindowPointer(Pointer pointer) override { shell_.SetWindowPointer(pointer); }
  std::string BrowseForFolder(const std::string& title) override {
    std::string folder;
    Owned([&] { folder = shell_.BrowseForFolder(title); });
    return folder;
  }
  void StartDetached(const std::string& program, const std::vector<std::string>& arguments,
                     bool minimized) override {
    shell_.StartDetached(program, arguments, minimized);
  }

 private:
  void Owned(const std::function<void()>& show);

  Win32Shell& shell_;
  HWND owner_;
};

// A popup over the main window, made of plain controls so that tools that
// read windows (screen readers, tests) find its texts: the rows, a bar, the
// bytes with the rate and time left, the file being copied, and Cancel.
// It is made hidden before the run starts and shown once the run has taken
// a while: under Wine making a window and its controls can take a tenth of
// a second, which is better spent before the run's threads take the
// processors than while the user waits for an answer.
class SyncWindow::ProgressWindow {
 public:
  ProgressWindow(HWND owner, const LOGFONTW& text_font, const LOGFONTW& button_font,
                 const SyncProgress& progress, TaskbarProgress& taskbar, std::function<void()> stop)
      : progress_(progress), taskbar_(taskbar), stop_(std::move(stop)) {
    const auto instance = reinterpret_cast<HINSTANCE>(::GetWindowLongPtrW(owner, GWLP_HINSTANCE));
    WNDCLASSEXW window_class{};
    window_class.cbSize = sizeof(window_class);
    window_class.lpfnWndProc = &ProgressWindow::WindowProc;
    window_class.hInstance = instance;
    window_class.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    window_class.hbrBackground = static_cast<HBRUSH>(::GetStockObject(WHITE_BRUSH));
    window_class.lpszClassName = kProgressClass;
    ::RegisterClassExW(&window_class);  // fails harmlessly from the second sync on

    const UINT dpi = ::GetDpiForWindow(owner);
    auto px = [dpi](int pixels) {
      return ::MulDiv(pixels, static_cast<int>(dpi), USER_DEFAULT_SCREEN_DPI);
    };
    constexpr DWORD kStyle = WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;
    constexpr DWORD kExtended = WS_EX_DLGMODALFRAME | WS_EX_CONTROLPARENT;
    RECT outer{0, 0, px(kWidth), px(kHeight)};
    ::AdjustWindowRectExForDpi(&outer, kStyle, FALSE, kExtended, dpi);
    RECT over;
    ::GetWindowRect(owner, &over);
    const int width = outer.right - outer.left, height = outer.bottom - outer.top;
    hwnd_ = ::CreateWindowExW(kExtended, kProgressClass, L"Tandrel", kStyle,
                              over.left + (over.right - over.left - width) / 2,
                              over.top + (over.bottom - over.top - height) / 2, width, height,
                              owner, nullptr, instance, this);
    if (hwnd_ == nullptr) return;

    LOGFONTW scaled = text_font;
    text_font_.reset(::CreateFontIndirectW(&scaled));
    scaled = button_font;
    button_font_.reset(::CreateFontIndirectW(&scaled));
    auto make = [&](const wchar_t* type, const wchar_t* text, DWORD style, int id, int x, int y,
                    int w, int h, const Font& font) {
      const HWND control = ::CreateWindowExW(
          0, type, text, WS_CHILD | WS_VISIBLE | style, px(x), px(y), px(w), px(h), hwnd_,
          reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance, nullptr);
      ::SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font.get()), FALSE);
      return control;
    };
    constexpr int kInner = kWidth - 2 * kMargin;
    constexpr DWORD kLine = SS_LEFT | SS_NOPREFIX | SS_ENDELLIPSIS;
    rows_ =
        make(WC_STATICW, L"", kLine, kRowsText, kMargin, kRowsTop, kInner, kTextHeight, text_font_);
    bar_ =
        make(PROGRESS_CLASSW, nullptr, 0, kBar, kMargin, kBarTop, kInner, kBarHeight, text_font_);
    ::SendMessageW(bar_, PBM_SETRANGE32, 0, kProgressRange);
    bytes_ = make(WC_STATICW, L"", kLine, kBytesText, kMargin, kBytesTop, kInner, kTextHeight,
                  text_font_);
    // A long path loses its middle, keeping the drive and the file's name.
    file_ = make(WC_STATICW, L"", SS_LEFT | SS_NOPREFIX | SS_PATHELLIPSIS, kFileText, kMargin,
                 kFileTop, kInner, kTextHeight, text_font_);
    cancel_ = make(WC_BUTTONW, L"Cancel", WS_TABSTOP | BS_PUSHBUTTON, IDCANCEL,
                   kWidth - kMargin - kButtonWidth, kButtonTop, kButtonWidth, kButtonHeight,
                   button_font_);
  }

  ~ProgressWindow() {
    if (hwnd_ != nullptr) ::DestroyWindow(hwnd_);
  }
  ProgressWindow(const ProgressWindow&) = delete;
  ProgressWindow& operator=(const ProgressWindow&) = delete;

  HWND hwnd() const { return hwnd_; }
  bool shown() const { return shown_; }

  void Show() {
    shown_ = true;
    if (hwnd_ == nullptr) return;
    Refresh();
    ::SetTimer(hwnd_, kRefreshTimer, static_cast<UINT>(kProgressInterval.count()), nullptr);
    ::ShowWindow(hwnd_, SW_SHOW);
    ::SetFocus(stopping_ ? hwnd_ : cancel_);
  }

  // Out of the way of a message box of the run, until shown again.
  void Hide() {
    if (!shown_) return;
    shown_ = false;
    if (hwnd_ == nullptr) return;
    ::KillTimer(hwnd_, kRefreshTimer);
    ::ShowWindow(hwnd_, SW_HIDE);
  }

 private:
  static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_NCCREATE) {
      auto* create = reinterpret_cast<CREATESTRUCTW*>(lparam);
      ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* window = reinterpret_cast<ProgressWindow*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (window == nullptr || window->hwnd_ == nullptr) {
      return ::DefWindowProcW(hwnd, message, wparam, lparam);
    }
    return window->Handle(message, wparam, lparam);
  }

  LRESULT Handle(UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
      case WM_TIMER:
        if (wparam == kRefreshTimer) Refresh();
        return 0;
      case WM_COMMAND:
        // Cancel, and Escape through IsDialogMessage.
        if (LOWORD(wparam) == IDCANCEL) Cancel();
        return 0;
      case WM_CLOSE:
        // The window goes when the run has finished, not before.
        Cancel();
        return 0;
      case WM_CTLCOLORSTATIC: {
        const auto dc = reinterpret_cast<HDC>(wparam);
        ::SetBkColor(dc, RGB(255, 255, 255));
        ::SetTextColor(dc, ::GetSysColor(COLOR_WINDOWTEXT));
        return reinterpret_cast<LRESULT>(::GetStockObject(WHITE_BRUSH));
      }
      case WM_CTLCOLORBTN:
        return reinterpret_cast<LRESULT>(::GetStockObject(WHITE_BRUSH));
      case WM_DESTROY:
        ::KillTimer(hwnd_, kRefreshTimer);
        hwnd_ = nullptr;
        return 0;
      default:
        return ::DefWindowProcW(hwnd_, message, wparam, lparam);
    }
  }

  void Cancel() {
    if (stopping_) return;
    stopping_ = true;
    stop_();
    ::SetWindowTextW(cancel_, L"Stopping\u2026");
    ::EnableWindow(cancel_, FALSE);
    // The disabled button loses the focus; the window keeps it, so that
    // the keyboard still reaches it.
    ::SetFocus(hwnd_);
  }

  void Refresh() {
    const ProgressView view = meter_.Read(progress_);
    SetText(rows_, &shown_rows_, view.rows);
    SetText(bytes_, &shown_bytes_, view.bytes);
    SetText(file_, &shown_file_, view.file);
    ::SendMessageW(bar_, PBM_SETPOS, static_cast<WPARAM>(view.per_mille), 0);
    taskbar_.Show(view.per_mille);
  }

  // Sets a text only when it changed: a static repaints whenever it is set,
  // which flickers four times a second.
  static void SetText(HWND control, std::string* shown, const std::string& text) {
    if (*shown == text) return;
    *shown = text;
    ::SetWindowTextW(control, win32::Utf8ToWide(text).c_str());
  }

  const SyncProgress& progress_;
  TaskbarProgress& taskbar_;
  std::function<void()> stop_;
  ProgressMeter meter_;
  Font text_font_;
  Font button_font_;
  HWND hwnd_ = nullptr;
  HWND rows_ = nullptr, bar_ = nullptr, bytes_ = nullptr, file_ = nullptr, cancel_ = nullptr;
  std::string shown_rows_, shown_bytes_, shown_file_;
  bool shown_ = false;
  bool stopping_ = false;
};

void SyncWindow::ModalShell::Owned(const std::function<void()>& show) {
  shell_.SetOwner(owner_);
  show();
  ::EnableWindow(owner_, FALSE);
}

SyncWindow::SyncWindow(HWND owner, HFONT text_font, HFONT button_font, Win32Shell& shell,
                       TaskbarProgress& taskbar)
    : owner_(owner),
      text_font_(FontOf(text_font)),
      button_font_(FontOf(button_font)),
      shell_(shell),
      taskbar_(taskbar),
      tasks_(std::make_unique<TaskQueue>()),
      modal_shell_(std::make_unique<ModalShell>(shell, owner)) {}

SyncWindow::~SyncWindow() = default;

void SyncWindow::Stop() {
  if (thread_ != nullptr) thread_->Stop();
}

void SyncWindow::Run(PlanList& plan, const CompareRequest& compared, FileSystem& fs) {
  using Clock = std::chrono::steady_clock;
  const HWND focus = ::GetFocus();
  ::EnableWindow(owner_, FALSE);
  bool finished = false;
  std::optional<WPARAM> quit;
  {
    SyncThread thread(plan, *modal_shell_, [tasks = tasks_.get()](SyncThread::Task task) {
      tasks->Post(std::move(task));
    });
    thread_ = &thread;
    progress_window_ = std::make_unique<ProgressWindow>(
        owner_, text_font_, button_font_, thread.progress(), taskbar_, [this] { Stop(); });
    // The progress window opens once the run has taken a while, and never
    // over a message of the run: it goes before each box, so that the box
    // is in front and takes the keyboard, and the wait starts again after.
    Clock::time_point open_at = Clock::now() + kProgressDelay;
    thread.AroundMessages([this] { progress_window_->Hide(); },
                          [&open_at] { open_at = Clock::now() + kProgressDelay; });
    thread.Start(compared, fs, [&finished] { finished = true; });
    for (;;) {
      tasks_->RunWaiting();
      if (finished) break;
      if (!progress_window_->shown() && Clock::now() >= open_at) progress_window_->Show();
      MSG message;
      if (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
          quit = message.wParam;
          thread.Stop();
          continue;
        }
        const HWND dialog = progress_window_->shown() ? progress_window_->hwnd() : nullptr;
        if (dialog == nullptr || !::IsDialogMessageW(dialog, &message)) {
          ::TranslateMessage(&message);
          ::DispatchMessageW(&message);
        }
        continue;
      }
      DWORD timeout = INFINITE;
      if (!progress_window_->shown()) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(open_at - Clock::now());
        timeout = static_cast<DWORD>(std::max<std::int64_t>(0, left.count()));
      }
      const HANDLE ready = tasks_->ready();
      ::MsgWaitForMultipleObjectsEx(ready != nullptr ? 1 : 0, &ready,
                                    ready != nullptr ? timeout : std::min<DWORD>(timeout, 10),
                                    QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    }
    thread_ = nullptr;
    const std::string stopped = thread.StoppedText();
    // A failure stays red on the taskbar until the user's next press: it is
    // for one who looked away during a long run.
    if (thread.performed() || !stopped.empty()) {
      taskbar_.Clear();
    } else {
      taskbar_.ShowFailed();
    }
    // Enabled before the progress window goes, so that the main window is
    // the one activated, not whichever window was behind.
    ::EnableWindow(owner_, TRUE);
    progress_window_.reset();
    if (focus != nullptr && ::IsWindow(focus)) ::SetFocus(focus);
    if (!stopped.empty()) shell_.ShowMessage(stopped);
  }
  if (quit) ::PostQuitMessage(static_cast<int>(*quit));
}

}  // namespace tandrel
