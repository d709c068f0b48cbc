// The seam between the button handlers (folders/, compare/, sync/) and the
// window toolkit. The Qt window, a native Windows window and the tests' fake
// window each implement these; the handlers see nothing else of a window.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tandrel {

// One folder slot: the entries of ListView1 (Folder 1) or ListView2
// (Folder 2). Positions count from 1.
class FolderSlot {
 public:
  virtual ~FolderSlot() = default;
  virtual int Count() const = 0;
  virtual std::string Text(int position) const = 0;
  virtual void Append(const std::string& text) = 0;
  virtual void Remove(int position) = 0;
  virtual void Clear() = 0;
  // The position of the list's selected entry, if it has one.
  virtual std::optional<int> Selected() const = 0;
};

class Plan;  // compare/plan.h

struct PlanRow {
  std::string source;
  std::string action;
  std::string destination;
  bool checked = false;

  friend bool operator==(const PlanRow&, const PlanRow&) = default;
};

// The operation plan: the rows of ListView3. Rows are only ever appended at
// the end and never sorted; positions count from 1.
class PlanList {
 public:
  virtual ~PlanList() = default;
  virtual void Clear() = 0;
  // Appends the rows at the end, as they are (ticked or not), in one batch.
  virtual void Append(std::vector<PlanRow> rows) = 0;
  // Appends the rows of a compare's plan, unticked, in one batch. A window
  // keeps the plan as it is and makes the texts of the rows it shows; the
  // default appends plan->Rows(false) (compare/plan.cpp).
  virtual void AppendPlan(std::shared_ptr<const Plan> plan);
  virtual int Count() const = 0;
  virtual PlanRow Row(int position) const = 0;
  virtual void SetChecked(int position, bool checked) = 0;
  // Ticks or unticks every row in one step (Check All / Uncheck All).
  virtual void SetAllChecked(bool checked) = 0;
  virtual void SetAction(int position, const std::string& action) = 0;
};

// The window pointer codes.
enum class Pointer : int { kDefault = 0, kBusy = 11, kHand = 99 };

// What the handlers need of the window around the lists.
class Shell {
 public:
  virtual ~Shell() = default;
  // A modal message box: the text, an OK button, no icon, caption "Tandrel".
  virtual void ShowMessage(const std::string& text) = 0;
  virtual Pointer WindowPointer() const = 0;
  virtual void SetWindowPointer(Pointer pointer) = 0;
  // The modal folder picker over the main window: an absolute path as the
  // platform gives it, or empty text when nothing usable was picked.
  virtual std::string BrowseForFolder(const std::string& title) = 0;
  // Starts a program without waiting for it and without looking at the
  // result; `minimized` asks for the minimised-with-focus window state.
  virtual void StartDetached(const std::string& program, const std::vector<std::string>& arguments,
                             bool minimized) = 0;
};

}  // namespace tandrel
