// Dialogs for the window tests: records every message and launch, and
// answers the folder picker from a script.
#pragma once

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "app/dialogs.h"

namespace tandrel::testing {

class ScriptedDialogs final : public Dialogs {
 public:
  void ShowMessage(const std::string& text) override {
    messages.push_back(text);
    if (on_message) on_message(text);
  }
  std::string BrowseForFolder(const std::string& title) override {
    browse_titles.push_back(title);
    if (on_browse) on_browse();
    if (answers.empty()) return {};
    std::string answer = answers.front();
    answers.pop_front();
    return answer;
  }
  void StartDetached(const std::string& program, const std::vector<std::string>& arguments,
                     bool minimized) override {
    started.push_back(program);
    for (const std::string& argument : arguments) started.push_back(argument);
    started_minimized = minimized;
  }

  std::vector<std::string> messages;
  std::function<void(const std::string&)> on_message;
  std::deque<std::string> answers;
  std::vector<std::string> browse_titles;
  std::function<void()> on_browse;  // runs while the picker would be open
  std::vector<std::string> started;
  bool started_minimized = false;
};

}  // namespace tandrel::testing
