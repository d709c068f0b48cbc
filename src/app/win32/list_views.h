// The folder slots and the operation plan over Win32 list-view controls.
#pragma once

// clang-format off
#include <windows.h>
#include <commctrl.h>
// clang-format on

#include <string>
#include <vector>

#include "compare/plan_store.h"
#include "platform/window.h"

namespace tandrel {

// A folder slot over a report-view list (ListView1, ListView2). The texts
// are kept beside the control as well, byte for byte, so that what the
// compare run reads is exactly what was stored.
class ListViewSlot final : public FolderSlot {
 public:
  explicit ListViewSlot(HWND list) : list_(list) {}
  int Count() const override { return static_cast<int>(texts_.size()); }
  std::string Text(int position) const override { return texts_.at(position - 1); }
  void Append(const std::string& text) override;
  void Remove(int position) override;
  void Clear() override;
  std::optional<int> Selected() const override;

 private:
  HWND list_;
  std::vector<std::string> texts_;
};

// The plan over a virtual list (LVS_OWNERDATA, ListView3): the compact rows
// of the compare's plan live here (PlanStore) and the control asks for the
// texts of the ones it shows, so that a plan of millions of rows appears at
// once in a few bytes a row.
class VirtualPlanList final : public PlanList {
 public:
  explicit VirtualPlanList(HWND list) : list_(list) {}
  void Clear() override;
  void Append(std::vector<PlanRow> rows) override;
  void AppendPlan(std::shared_ptr<const Plan> plan) override;
  int Count() const override { return static_cast<int>(rows_.size()); }
  PlanRow Row(int position) const override { return rows_.Row(Index(position)); }
  void SetChecked(int position, bool checked) override;
  void SetAllChecked(bool checked) override;
  void SetAction(int position, const std::string& action) override;

  // LVN_GETDISPINFOW: fills in the text and the tick of the asked row.
  void FillDisplayInfo(NMLVDISPINFOW* info) const;
  // A click on a row's check box, or the space bar on selected rows: turns
  // the tick over. True when the notification was such a toggle.
  bool HandleClick(const NMITEMACTIVATE* click);
  bool HandleKeyDown(const NMLVKEYDOWN* key);

 private:
  // The index in rows_ of a position; throws std::out_of_range.
  size_t Index(int position) const;
  void Toggle(int index);
  void Grown();

  HWND list_;
  PlanStore rows_;
};

}  // namespace tandrel
