#include "Errors.h"

#include <algorithm>

namespace oxr {

int exit_status(const Error& error) { return error.kind() == ErrorKind::Usage ? 2 : 1; }

std::string command_line_spelling(std::string_view option, std::string_view value) {
  std::string text = "--" + std::string(option);
  if (!value.empty()) (text += ' ') += value;
  return text;
}

std::string python_spelling(std::string_view option, std::string_view value) {
  std::string text(option);
  std::replace(text.begin(), text.end(), '-', '_');
  if (!value.empty()) (text += '=') += value;
  return text;
}

}  // namespace oxr
