#include "app/plan_model.h"

#include <iterator>

#include "app/form_text.h"

namespace tandrel {

void PlanModel::Clear() {
  if (rows_.empty()) return;
  beginResetModel();
  rows_.clear();
  rows_.shrink_to_fit();
  endResetModel();
}

void PlanModel::Append(std::vector<PlanRow> rows) {
  if (rows.empty()) return;
  const int first = Count();
  beginInsertRows(QModelIndex(), first, first + static_cast<int>(rows.size()) - 1);
  if (rows_.empty()) {
    rows_ = std::move(rows);
  } else {
    rows_.insert(rows_.end(), std::make_move_iterator(rows.begin()),
                 std::make_move_iterator(rows.end()));
  }
  endInsertRows();
}

PlanRow PlanModel::Row(int position) const { return rows_.at(position - 1); }

void PlanModel::SetChecked(int position, bool checked) {
  PlanRow& row = rows_.at(position - 1);
  if (row.checked == checked) return;
  row.checked = checked;
  const QModelIndex at = index(position - 1, kSourceColumn);
  emit dataChanged(at, at, {Qt::CheckStateRole});
}

void PlanModel::SetAllChecked(bool checked) {
  if (rows_.empty()) return;
  for (PlanRow& row : rows_) row.checked = checked;
  emit dataChanged(index(0, kSourceColumn), index(Count() - 1, kSourceColumn),
                   {Qt::CheckStateRole});
}

void PlanModel::SetAction(int position, const std::string& action) {
  rows_.at(position - 1).action = action;
  const QModelIndex at = index(position - 1, kActionColumn);
  emit dataChanged(at, at, {Qt::DisplayRole});
}

int PlanModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : Count(); }

int PlanModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : kColumnCount;
}

QVariant PlanModel::data(const QModelIndex& index, int role) const {
  if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid)) {
    return {};
  }
  const PlanRow& row = rows_[static_cast<size_t>(index.row())];
  if (role == Qt::DisplayRole) {
    switch (index.column()) {
      case kSourceColumn:
        return ShownText(row.source);
      case kActionColumn:
        return ShownText(row.action);
      case kDestinationColumn:
        return ShownText(row.destination);
      default:
        return {};
    }
  }
  if (role == Qt::CheckStateRole && index.column() == kSourceColumn) {
    return row.checked ? Qt::Checked : Qt::Unchecked;
  }
  return {};
}

bool PlanModel::setData(const QModelIndex& index, const QVariant& value, int role) {
  if (role != Qt::CheckStateRole || index.column() != kSourceColumn ||
      !checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid)) {
    return false;
  }
  SetChecked(index.row() + 1, value.value<Qt::CheckState>() == Qt::Checked);
  return true;
}

Qt::ItemFlags PlanModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  Qt::ItemFlags flags = Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
  if (index.column() == kSourceColumn) flags |= Qt::ItemIsUserCheckable;
  return flags;
}

QVariant PlanModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
  switch (section) {
    case kSourceColumn:
      return QStringLiteral("Source");
    case kActionColumn:
      return QStringLiteral("Action");
    case kDestinationColumn:
      return QStringLiteral("Destination");
    default:
      return {};
  }
}

}  // namespace tandrel
