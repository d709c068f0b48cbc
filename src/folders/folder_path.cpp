#include "folders/folder_path.h"

namespace tandrel {

std::string NormaliseFolderPath(std::string_view path, char separator) {
  std::string text(path);
  text += separator;
  std::string result;
  result.reserve(text.size());
  size_t i = 0;
  if (separator == '\\' && text.size() > 2 && text[0] == '\\' && text[1] == '\\') {
    result = "\\\\";
    i = 2;
  }
  while (i < text.size()) {
    result += text[i];
    const bool pair = text[i] == separator && i + 1 < text.size() && text[i + 1] == separator;
    i += pair ? 2 : 1;
  }
  return result;
}

}  // namespace tandrel
