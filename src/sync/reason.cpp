#include "sync/reason.h"

namespace tandrel {

std::string Sentence(const std::error_code& ec) {
  std::string text = ec.message();
  text.erase(text.find_last_not_of(" .\r\n") + 1);
  if (text.empty()) text = "Error " + std::to_string(ec.value());
  return text + ".";
}

}  // namespace tandrel
