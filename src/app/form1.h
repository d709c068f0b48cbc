// The main window, Form1: two folder slots, the operation plan and the
// eight buttons that act on them. The window only lays out its controls and
// hands each press to the actions of folders/, compare/ and sync/.
#pragma once

#include <QWidget>
#include <memory>

#include "app/compare_worker.h"
#include "app/dialogs.h"
#include "app/folder_slot_view.h"
#include "app/plan_model.h"
#include "app/window_pointer.h"
#include "platform/file_system.h"
#include "platform/window.h"

class QTableView;
class QTreeWidget;

namespace tandrel {

class PictureButton;

// The Shell that the actions see: the window's own pointer, and the
// dialogs of the desktop.
class FormShell final : public Shell {
 public:
  FormShell(Dialogs& dialogs, tandrel::WindowPointer& pointer)
      : dialogs_(dialogs), pointer_(pointer) {}

  void ShowMessage(const std::string& text) override { dialogs_.ShowMessage(text); }
  Pointer WindowPointer() const override { return pointer_.Code(); }
  void SetWindowPointer(Pointer pointer) override { pointer_.Set(pointer); }
  std::string BrowseForFolder(const std::string& title) override {
    return dialogs_.BrowseForFolder(title);
  }
  void StartDetached(const std::string& program, const std::vector<std::string>& arguments,
                     bool minimized) override {
    dialogs_.StartDetached(program, arguments, minimized);
  }

 private:
  Dialogs& dialogs_;
  tandrel::WindowPointer& pointer_;
};

class Form1 final : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kClientWidth = 617;
  static constexpr int kClientHeight = 417;

  // `dialogs` must outlive the window. The file system is shared with a
  // compare run's thread, which may outlive the window.
  Form1(std::shared_ptr<FileSystem> fs, Dialogs& dialogs);
  ~Form1() override;

  // Names the columns of the three lists and sets their widths.
  void CreateColumns();

  Shell& shell() { return shell_; }
  WindowPointer& pointer() { return pointer_; }
  PlanModel& plan() { return plan_; }
  // True from a compare press until its plan is shown.
  bool CompareRunning() const { return compare_.Running(); }

 private:
  void Compare();
  void Sync();

  std::shared_ptr<FileSystem> fs_;
  WindowPointer pointer_;
  FormShell shell_;
  PlanModel plan_;
  CompareWorker compare_;
  // The folders of the compare that made the plan's rows.
  CompareRequest compared_;
  PointerFeedback feedback_;
  QTreeWidget* list1_;
  QTreeWidget* list2_;
  QTableView* list3_;
  std::unique_ptr<FolderSlotView> slot1_;
  std::unique_ptr<FolderSlotView> slot2_;
};

}  // namespace tandrel
