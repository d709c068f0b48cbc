// How the native window fares with a compare of two real trees (not a
// test), as window_compare_bench does for the Qt one:
//   - from the press of Compare to every row shown and ticked;
//   - the longest time the window's thread went without answering a 5 ms
//     timer, from the press until a while after the rows are shown;
//   - the peak memory of the process above its size before the first press;
//   - the End key on the plan, with how many row texts the list asked for.
//
//   win32_compare_bench FOLDER1 FOLDER2 [ROUNDS]   (under Wine: xvfb-run -a wine ...)
// clang-format off
#include <windows.h>
#include <commctrl.h>
#include <psapi.h>
// clang-format on

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <deque>
#include <string>

#include "app/win32/form1.h"
#include "platform/system.h"

namespace {

using Clock = std::chrono::steady_clock;
using tandrel::Form1;

double MsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

Clock::time_point last_beat;
double longest_gap = 0;
// The longest single message handled by Pump, and which it was.
double longest_dispatch = 0;
UINT longest_message = 0;
long display_infos = 0;

void CALLBACK Beat(HWND, UINT, UINT_PTR, DWORD) {
  longest_gap = std::max(longest_gap, MsSince(last_beat));
  last_beat = Clock::now();
}

// Counts the list's requests for row texts on their way to the window.
LRESULT CALLBACK CountDisplayInfo(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam, UINT_PTR,
                                  DWORD_PTR) {
  if (message == WM_NOTIFY && reinterpret_cast<const NMHDR*>(lparam)->code == LVN_GETDISPINFOW) {
    ++display_infos;
  }
  return ::DefSubclassProc(hwnd, message, wparam, lparam);
}

template <typename Done>
void Pump(Done done) {
  while (!done()) {
    MSG message;
    while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      ::TranslateMessage(&message);
      const auto start = Clock::now();
      ::DispatchMessageW(&message);
      if (MsSince(start) > longest_dispatch) {
        longest_dispatch = MsSince(start);
        longest_message = message.message;
      }
    }
    ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
  }
}

size_t MemoryMb(bool peak) {
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof(counters);
  ::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof(counters));
  return (peak ? counters.PeakWorkingSetSize : counters.WorkingSetSize) >> 20;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: win32_compare_bench FOLDER1 FOLDER2 [ROUNDS]\n");
    return 2;
  }
  const int rounds = argc > 3 ? std::atoi(argv[3]) : 2;
  INITCOMMONCONTROLSEX controls{};
  controls.dwSize = sizeof(controls);
  controls.dwICC = ICC_LISTVIEW_CLASSES | ICC_STANDARD_CLASSES;
  ::InitCommonControlsEx(&controls);
  Form1 form(tandrel::MakeRealFileSystem(), ".", "");
  if (!form.Create(::GetModuleHandleW(nullptr))) return 1;
  form.Show(SW_SHOW);
  ::SetWindowSubclass(form.hwnd(), CountDisplayInfo, 1, 0);
  std::deque<std::string> picks{argv[1], argv[2]};
  form.shell().SetScript(
      [&](const std::string&) {
        std::string pick = picks.front();
        picks.pop_front();
        return pick;
      },
      [](const std::string& text) {
        std::printf("  (message: %s)\n", text.substr(0, 60).c_str());
      });
  ::SendMessageW(form.Control(Form1::kCheck3), BM_CLICK, 0, 0);
  ::SendMessageW(form.Control(Form1::kCheck1), BM_CLICK, 0, 0);
  const auto settle = Clock::now();
  Pump([&] { return MsSince(settle) > 300; });
  const size_t before_mb = MemoryMb(false);

  tandrel::PlanList& plan = form.plan();
  for (int round = 1; round <= rounds; ++round) {
    longest_gap = 0;
    last_beat = Clock::now();
    const UINT_PTR timer = ::SetTimer(nullptr, 0, 5, Beat);
    longest_dispatch = 0;
    const auto press = Clock::now();
    ::SendMessageW(form.Control(Form1::kCheck5), BM_CLICK, 0, 0);
    const double pressing = MsSince(press);
    Pump([&] { return plan.Count() > 0 && plan.Row(plan.Count()).checked; });
    const double all_rows = MsSince(press);
    const auto after = Clock::now();
    Pump([&] { return MsSince(after) > 500; });
    ::KillTimer(nullptr, timer);
    std::printf(
        "round %d: %d rows; press to all rows shown and ticked %.0f ms; longest gap %.1f ms; "
        "working set before the first press %zu MB, peak %zu MB, %.0f bytes a row above it\n",
        round, plan.Count(), all_rows, longest_gap, before_mb, MemoryMb(true),
        1048576.0 * static_cast<double>(MemoryMb(true) - before_mb) / plan.Count());
    std::printf("  the press (emptying the list) %.0f ms; longest message %.0f ms (0x%x)\n",
                pressing, longest_dispatch, longest_message);

    const HWND list = form.Control(Form1::kListView3);
    ::SetFocus(list);
    display_infos = 0;
    const auto end_key = Clock::now();
    ::SendMessageW(list, WM_KEYDOWN, VK_END, 0);
    ::SendMessageW(list, WM_KEYUP, VK_END, 0);
    ::UpdateWindow(list);
    std::printf("  End key: %.0f ms, %ld row texts asked for\n", MsSince(end_key), display_infos);
    display_infos = 0;
    const auto home_key = Clock::now();
    ::SendMessageW(list, WM_KEYDOWN, VK_HOME, 0);
    ::SendMessageW(list, WM_KEYUP, VK_HOME, 0);
    ::UpdateWindow(list);
    std::printf("  Home key: %.0f ms, %ld row texts asked for\n", MsSince(home_key), display_infos);
    std::fflush(stdout);
  }
  return 0;
}
