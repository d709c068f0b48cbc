// A folder slot shown in a one-column list (ListView1, ListView2). Each
// entry keeps the path's bytes as they are; the list shows their text.
#pragma once

#include <QTreeWidget>

#include "platform/window.h"

namespace tandrel {

class FolderSlotView final : public FolderSlot {
 public:
  // `list` must outlive this object.
  explicit FolderSlotView(QTreeWidget& list) : list_(list) {}

  int Count() const override;
  std::string Text(int position) const override;
  void Append(const std::string& text) override;
  void Remove(int position) override;
  void Clear() override;
  std::optional<int> Selected() const override;

 private:
  QTreeWidget& list_;
};

}  // namespace tandrel
