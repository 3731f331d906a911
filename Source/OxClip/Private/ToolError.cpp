#include "ToolError.h"

#include <utility>

namespace oxr {
namespace {

// The library's own spelling of an option: its name in the option table, "=" and the value.
std::string table_spelling(std::string_view option, std::string_view value) {
  std::string text(option);
  if (!value.empty()) (text += '=') += value;
  return text;
}

}  // namespace

ToolError::ToolError(std::string message) : message_(std::move(message)) { compose(); }

ToolError::ToolError(std::string file, std::string message) : file_(std::move(file)), message_(std::move(message)) {
  compose();
}

ToolError& ToolError::in_file(const std::string& file) {
  if (!file_.empty() || file.empty()) return *this;
  // A message that already begins with this file's name keeps it once.
  const std::string prefix = file + ": ";
  if (message_.rfind(prefix, 0) == 0) message_.erase(0, prefix.size());
  file_ = file;
  compose();
  return *this;
}

ToolError& ToolError::at_line(std::int64_t line) {
  line_ = line;
  compose();
  return *this;
}

ToolError& ToolError::at_frame(std::int64_t frame) {
  frame_ = frame;
  compose();
  return *this;
}

ToolError& ToolError::of_option(std::string option, std::string value) {
  option_ = std::move(option);
  option_value_ = std::move(value);
  compose();
  return *this;
}

std::string ToolError::text(OptionSpelling spell) const {
  std::string text;
  if (!file_.empty()) text += file_ + ": ";
  if (line_ > 0) {
    text += "line " + std::to_string(line_) + ": ";
  } else if (frame_ >= 0) {
    text += "frame " + std::to_string(frame_) + ": ";
  }
  if (!option_.empty()) {
    // "--end 9 is past ...", "--units xx: expected ...".
    text += spell(option_, option_value_);
    if (!message_.empty() && message_.front() != ':') text += ' ';
  }
  return text + message_;
}

void ToolError::compose() { text_ = text(&table_spelling); }

}  // namespace oxr
