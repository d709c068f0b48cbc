// Dialogs for the window benchmarks: each message printed on one short line
// instead of shown, and the folder picker answered from a list.
#pragma once

#include <cstdio>
#include <deque>
#include <string>
#include <vector>

#include "app/dialogs.h"

namespace tandrel::bench {

class SilentDialogs final : public Dialogs {
 public:
  std::deque<std::string> answers;
  void ShowMessage(const std::string& text) override {
    std::printf("  (message: %s)\n", text.substr(0, 60).c_str());
  }
  std::string BrowseForFolder(const std::string&) override {
    std::string answer = answers.front();
    answers.pop_front();
    return answer;
  }
  void StartDetached(const std::string&, const std::vector<std::string>&, bool) override {}
};

}  // namespace tandrel::bench
