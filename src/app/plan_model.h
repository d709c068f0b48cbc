// The operation plan behind ListView3: plain rows in a table model. Rows are
// appended in batches and never sorted; ticking every row is one change
// notification, so a plan of any size stays quick to show and to tick.
#pragma once

#include <QAbstractTableModel>
#include <vector>

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
  int Count() const override { return static_cast<int>(rows_.size()); }
  PlanRow Row(int position) const override;
  void SetChecked(int position, bool checked) override;
  void SetAllChecked(bool checked) override;
  void SetAction(int position, const std::string& action) override;

  // QAbstractTableModel
  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;

 private:
  std::vector<PlanRow> rows_;
};

}  // namespace tandrel
