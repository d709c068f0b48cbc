#include "app/plan_model.h"

#include <stdexcept>

#include "app/form_text.h"

namespace tandrel {

size_t PlanModel::Index(int position) const {
  if (position < 1 || position > Count()) throw std::out_of_range("no such plan row");
  return static_cast<size_t>(position - 1);
}

void PlanModel::Clear() {
  if (rows_.empty()) return;
  beginResetModel();
  rows_.Clear();
  endResetModel();
}

void PlanModel::Append(std::vector<PlanRow> rows) {
  if (rows.empty()) return;
  const int first = Count();
  beginInsertRows(QModelIndex(), first, first + static_cast<int>(rows.size()) - 1);
  rows_.Append(std::move(rows));
  endInsertRows();
}

void PlanModel::AppendPlan(std::shared_ptr<const Plan> plan) {
  if (!plan || plan->size() == 0) return;
  const int first = Count();
  beginInsertRows(QModelIndex(), first, first + static_cast<int>(plan->size()) - 1);
  rows_.Append(std::move(plan));
  endInsertRows();
}

PlanRow PlanModel::Row(int position) const { return rows_.Row(Index(position)); }

void PlanModel::SetChecked(int position, bool checked) {
  const size_t i = Index(position);
  if (rows_.Checked(i) == checked) return;
  rows_.SetChecked(i, checked);
  const QModelIndex at = index(position - 1, kSourceColumn);
  emit dataChanged(at, at, {Qt::CheckStateRole});
}

void PlanModel::SetAllChecked(bool checked) {
  if (rows_.empty()) return;
  rows_.SetAllChecked(checked);
  emit dataChanged(index(0, kSourceColumn), index(Count() - 1, kSourceColumn),
                   {Qt::CheckStateRole});
}

void PlanModel::SetAction(int position, const std::string& action) {
  rows_.SetAction(Index(position), action);
  const QModelIndex at = index(position - 1, kActionColumn);
  emit dataChanged(at, at, {Qt::DisplayRole});
}

// The view asks for every row's index each time it lays the rows out; this
// answers without the two virtual calls of the inherited hasIndex().
QModelIndex PlanModel::index(int row, int column, const QModelIndex& parent) const {
  if (parent.isValid() || row < 0 || row >= Count() || column < 0 || column >= kColumnCount) {
    return {};
  }
  return createIndex(row, column);
}

int PlanModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : Count(); }

int PlanModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : kColumnCount;
}

QVariant PlanModel::data(const QModelIndex& index, int role) const {
  if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid)) {
    return {};
  }
  const size_t row = static_cast<size_t>(index.row());
  if (role == Qt::DisplayRole) {
    switch (index.column()) {
      case kSourceColumn:
        return ShownText(rows_.Source(row));
      case kActionColumn:
        return ShownText(rows_.Action(row));
      case kDestinationColumn:
        return ShownText(rows_.Destination(row));
      default:
        return {};
    }
  }
  if (role == Qt::CheckStateRole && index.column() == kSourceColumn) {
    return rows_.Checked(row) ? Qt::Checked : Qt::Unchecked;
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
