#include "app/folder_slot_view.h"

#include <QByteArray>
#include <QTreeWidgetItem>
#include <memory>

#include "app/form_text.h"

namespace tandrel {
namespace {

constexpr int kPathBytesRole = Qt::UserRole;

}  // namespace

int FolderSlotView::Count() const { return list_.topLevelItemCount(); }

std::string FolderSlotView::Text(int position) const {
  const QTreeWidgetItem* item = list_.topLevelItem(position - 1);
  if (item == nullptr) return {};
  return item->data(0, kPathBytesRole).toByteArray().toStdString();
}

void FolderSlotView::Append(const std::string& text) {
  auto item = std::make_unique<QTreeWidgetItem>();
  item->setText(0, ShownText(text));
  item->setData(0, kPathBytesRole, QByteArray(text.data(), static_cast<qsizetype>(text.size())));
  item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren);
  list_.addTopLevelItem(item.release());
}

void FolderSlotView::Remove(int position) { delete list_.takeTopLevelItem(position - 1); }

void FolderSlotView::Clear() { list_.clear(); }

std::optional<int> FolderSlotView::Selected() const {
  const QList<QTreeWidgetItem*> selected = list_.selectedItems();
  if (selected.isEmpty()) return std::nullopt;
  const int at = list_.indexOfTopLevelItem(selected.front());
  if (at < 0) return std::nullopt;
  return at + 1;
}

}  // namespace tandrel
