// The operation plan behind ListView3: a table model over the compact rows
// of the compare's plan (PlanStore), whose texts are made only for the rows
// on screen. Rows are appended in batches and never sorted; ticking every
// row is one change notification, so a plan of millions of rows stays
// quick to show and to tick, in a few bytes a row.
#pragma once

#include <QAbstractTableModel>
#include <vector>

#include "compare/plan_store.h"
#include "platform/window.h"

namespace tandrel {

class PlanModel final : public QAbstractTableModel, public PlanList {
  Q_OBJECT

 public:
  enum Column { kSourceColumn = 0, kActionColumn = 1, kDestinationColumn = 2, kColumnCount = 3 };

  using QAbstractTableModel::QAbstractTableModel;

  // PlanList
  void Clear() override;
  void Append(std::vector<PlanRow> rows) override;
  void AppendPlan(std::shared_ptr<const Plan> plan) override;
  int Count() const override { return static_cast<int>(rows_.size()); }
  PlanRow Row(int position) const override;
  void SetChecked(int position, bool checked) override;
  void SetAllChecked(bool checked) override;
  void SetAction(int position, const std::string& action) override;

  // QAbstractTableModel
  QModelIndex index(int row, int column, const QModelIndex& parent = QModelIndex()) const override;
  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;

 private:
  // The index in rows_ of a position; throws std::out_of_range as
  // std::vector::at does.
  size_t Index(int position) const;

  PlanStore rows_;
};

}  // namespace tandrel
