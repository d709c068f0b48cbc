// A window for the button handlers to talk to in tests: plain lists, and a
// shell that records what it was asked and answers from a script.
#pragma once

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "platform/window.h"

namespace tandrel::testing {

class FakeFolderSlot final : public FolderSlot {
 public:
  int Count() const override { return static_cast<int>(entries.size()); }
  std::string Text(int position) const override { return entries.at(position - 1); }
  void Append(const std::string& text) override { entries.push_back(text); }
  void Remove(int position) override { entries.erase(entries.begin() + (position - 1)); }
  void Clear() override { entries.clear(); }
  std::optional<int> Selected() const override { return selected; }

  std::vector<std::string> entries;
  std::optional<int> selected;
};

class FakePlanList final : public PlanList {
 public:
  void Clear() override { rows.clear(); }
  void Append(std::vector<PlanRow> more) override {
    for (PlanRow& row : more) rows.push_back(std::move(row));
  }
  int Count() const override { return static_cast<int>(rows.size()); }
  PlanRow Row(int position) const override { return rows.at(position - 1); }
  void SetChecked(int position, bool checked) override { rows.at(position - 1).checked = checked; }
  void SetAllChecked(bool checked) override {
    for (PlanRow& row : rows) row.checked = checked;
  }
  void SetAction(int position, const std::string& action) override {
    rows.at(position - 1).action = action;
  }

  std::vector<PlanRow> rows;
};

class FakeShell final : public Shell {
 public:
  void ShowMessage(const std::string& text) override {
    messages.push_back(text);
    if (on_message) on_message(text);
  }
  Pointer WindowPointer() const override { return pointer; }
  void SetWindowPointer(Pointer p) override {
    pointer = p;
    pointer_history.push_back(p);
  }
  std::string BrowseForFolder(const std::string& title) override {
    browse_titles.push_back(title);
    if (browse_answers.empty()) return {};
    std::string answer = browse_answers.front();
    browse_answers.pop_front();
    return answer;
  }
  void StartDetached(const std::string& program, const std::vector<std::string>& arguments,
                     bool minimized) override {
    started.push_back({program, arguments, minimized});
  }

  struct Started {
    std::string program;
    std::vector<std::string> arguments;
    bool minimized;
  };
  std::vector<std::string> messages;
  std::function<void(const std::string&)> on_message;  // runs while the box would be open
  Pointer pointer = Pointer::kDefault;
  std::vector<Pointer> pointer_history;
  std::deque<std::string> browse_answers;
  std::vector<std::string> browse_titles;
  std::vector<Started> started;
};

}  // namespace tandrel::testing
