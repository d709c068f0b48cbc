#include "app/win32/list_views.h"

#include <commctrl.h>

#include <algorithm>
#include <stdexcept>

#include "platform/win32/wide.h"

namespace tandrel {
namespace {

constexpr UINT kUnticked = INDEXTOSTATEIMAGEMASK(1);
constexpr UINT kTicked = INDEXTOSTATEIMAGEMASK(2);

void CopyText(const std::string& text, NMLVDISPINFOW* info) {
  if (info->item.pszText == nullptr || info->item.cchTextMax <= 0) return;
  const std::wstring wide = win32::Utf8ToWide(text);
  const size_t room = static_cast<size_t>(info->item.cchTextMax) - 1;
  const size_t n = std::min(room, wide.size());
  std::copy_n(wide.data(), n, info->item.pszText);
  info->item.pszText[n] = L'\0';
}

}  // namespace

void ListViewSlot::Append(const std::string& text) {
  std::wstring wide = win32::Utf8ToWide(text);
  LVITEMW item{};
  item.mask = LVIF_TEXT;
  item.iItem = Count();
  item.pszText = wide.data();
  if (::SendMessageW(list_, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item)) >= 0) {
    texts_.push_back(text);
  }
}

void ListViewSlot::Remove(int position) {
  if (position < 1 || position > Count()) return;
  ::SendMessageW(list_, LVM_DELETEITEM, position - 1, 0);
  texts_.erase(texts_.begin() + (position - 1));
}

void ListViewSlot::Clear() {
  ::SendMessageW(list_, LVM_DELETEALLITEMS, 0, 0);
  texts_.clear();
}

std::optional<int> ListViewSlot::Selected() const {
  const LRESULT index =
      ::SendMessageW(list_, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), MAKELPARAM(LVNI_SELECTED, 0));
  if (index < 0 || index >= Count()) return std::nullopt;
  return static_cast<int>(index) + 1;
}

size_t VirtualPlanList::Index(int position) const {
  if (position < 1 || position > Count()) throw std::out_of_range("no such plan row");
  return static_cast<size_t>(position - 1);
}

void VirtualPlanList::Clear() {
  rows_.Clear();
  ::SendMessageW(list_, LVM_SETITEMCOUNT, 0, 0);
}

void VirtualPlanList::Grown() {
  ::SendMessageW(list_, LVM_SETITEMCOUNT, rows_.size(), LVSICF_NOINVALIDATEALL | LVSICF_NOSCROLL);
  ::InvalidateRect(list_, nullptr, FALSE);
}

void VirtualPlanList::Append(std::vector<PlanRow> rows) {
  if (rows.empty()) return;
  rows_.Append(std::move(rows));
  Grown();
}

void VirtualPlanList::AppendPlan(std::shared_ptr<const Plan> plan) {
  if (!plan || plan->size() == 0) return;
  rows_.Append(std::move(plan));
  Grown();
}

void VirtualPlanList::SetChecked(int position, bool checked) {
  rows_.SetChecked(Index(position), checked);
  ::SendMessageW(list_, LVM_REDRAWITEMS, position - 1, position - 1);
}

void VirtualPlanList::SetAllChecked(bool checked) {
  rows_.SetAllChecked(checked);
  ::InvalidateRect(list_, nullptr, FALSE);
}

void VirtualPlanList::SetAction(int position, const std::string& action) {
  rows_.SetAction(Index(position), action);
  ::SendMessageW(list_, LVM_REDRAWITEMS, position - 1, position - 1);
}

void VirtualPlanList::FillDisplayInfo(NMLVDISPINFOW* info) const {
  const int index = info->item.iItem;
  if (index < 0 || index >= Count()) return;
  const size_t row = static_cast<size_t>(index);
  if (info->item.mask & LVIF_TEXT) {
    switch (info->item.iSubItem) {
      case 0:
        CopyText(rows_.Source(row), info);
        break;
      case 1:
        CopyText(rows_.Action(row), info);
        break;
      default:
        CopyText(rows_.Destination(row), info);
        break;
    }
  }
  if (info->item.mask & LVIF_STATE) {
    info->item.stateMask |= LVIS_STATEIMAGEMASK;
    info->item.state =
        (info->item.state & ~LVIS_STATEIMAGEMASK) | (rows_.Checked(row) ? kTicked : kUnticked);
  }
}

void VirtualPlanList::Toggle(int index) {
  if (index < 0 || index >= Count()) return;
  const size_t row = static_cast<size_t>(index);
  rows_.SetChecked(row, !rows_.Checked(row));
  ::SendMessageW(list_, LVM_REDRAWITEMS, index, index);
}

bool VirtualPlanList::HandleClick(const NMITEMACTIVATE* click) {
  LVHITTESTINFO hit{};
  hit.pt = click->ptAction;
  ::SendMessageW(list_, LVM_SUBITEMHITTEST, 0, reinterpret_cast<LPARAM>(&hit));
  if (hit.iItem < 0 || (hit.flags & LVHT_ONITEMSTATEICON) == 0) return false;
  Toggle(hit.iItem);
  return true;
}

bool VirtualPlanList::HandleKeyDown(const NMLVKEYDOWN* key) {
  if (key->wVKey != VK_SPACE) return false;
  for (LRESULT i = ::SendMessageW(list_, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED);
       i >= 0; i = ::SendMessageW(list_, LVM_GETNEXTITEM, i, LVNI_SELECTED)) {
    Toggle(static_cast<int>(i));
  }
  return true;
}

}  // namespace tandrel
