// Form1, the native Windows main window: eleven common controls over the
// same handlers as the Qt window (folders/, compare/, sync/).
#pragma once

#include <windows.h>

#include <memory>
#include <stop_token>
#include <string>
#include <vector>

#include "app/win32/list_views.h"
#include "compare/compare_run.h"
#include "compare/plan.h"
#include "platform/file_system.h"
#include "platform/win32/win32_shell.h"

namespace tandrel {

class SyncWindow;
class TaskbarProgress;

class Form1 {
 public:
  // The window's pointer image for code 99, "HAND-M.CUR", is looked for in
  // `executable_folder`; `home_page` is opened now and then (empty: never).
  Form1(std::shared_ptr<FileSystem> fs, std::string executable_folder, std::string home_page);
  Form1(const Form1&) = delete;
  Form1& operator=(const Form1&) = delete;
  ~Form1();

  // Creates the window and its controls and runs Form_Load; false when the
  // window cannot be made. The window is not shown yet.
  bool Create(HINSTANCE instance);
  HWND hwnd() const { return hwnd_; }
  // Shows the window with the focus on ListView1.
  void Show(int show_command);

  Win32Shell& shell() { return shell_; }
  FolderSlot& slot1() { return *slot1_; }
  FolderSlot& slot2() { return *slot2_; }
  PlanList& plan() { return *plan_; }
  HWND Control(int id) const { return ::GetDlgItem(hwnd_, id); }

  // Control identifiers, named after the controls.
  enum Id : int {
    kListView1 = 101,
    kListView2,
    kListView3,
    kCheck1 = 201,
    kCheck2,
    kCheck3,
    kCheck4,
    kCheck5,
    kCheck6,
    kCheck7,
    kCheck8,
  };

 private:
  static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
  LRESULT Handle(UINT message, WPARAM wparam, LPARAM lparam);

  void CreateControls(HINSTANCE instance);
  void Layout(UINT dpi);
  void SetPictures(UINT dpi);
  void FormLoad();
  void CenterForm();
  void MaybeOpenHomePage();
  void OnButton(int id);
  void OnNotify(const NMHDR* header, LRESULT* result);
  bool OnSetCursor(HWND under, WORD hit_test);
  void StartCompare();
  void Sync();
  void FinishCompare(std::unique_ptr<BuildResult> result, unsigned run);

  std::shared_ptr<FileSystem> fs_;
  std::string executable_folder_;
  std::string home_page_;
  HWND hwnd_ = nullptr;
  HWND tooltip_ = nullptr;
  HFONT button_font_ = nullptr;
  HFONT list_font_ = nullptr;
  HCURSOR hand_ = nullptr;
  HINSTANCE instance_ = nullptr;
  // One image list per picture resource, made for the window's DPI.
  std::vector<HIMAGELIST> pictures_;
  Win32Shell shell_;
  std::unique_ptr<ListViewSlot> slot1_;
  std::unique_ptr<ListViewSlot> slot2_;
  std::unique_ptr<VirtualPlanList> plan_;
  // The compare run on its thread: a new press stops the one before, whose
  // result is then dropped by its number.
  std::stop_source compare_stop_;
  // The folders of the compare that made the plan's rows.
  CompareRequest compared_;
  unsigned compare_run_ = 0;
  // The sync under way, if any: the window is disabled meanwhile, and a
  // press that reaches it anyway does nothing.
  SyncWindow* sync_ = nullptr;
  // A compare that ended while a sync was reading the plan: its rows are
  // added once the sync is over.
  std::unique_ptr<BuildResult> compare_waiting_;
  unsigned compare_waiting_run_ = 0;
  std::unique_ptr<TaskbarProgress> taskbar_;
};

}  // namespace tandrel
