#include "ToolError.h"

#include <utility>

namespace oxr {

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

void ToolError::compose() {
  text_.clear();
  if (!file_.empty()) text_ += file_ + ": ";
  if (line_ > 0) {
    text_ += "line " + std::to_string(line_) + ": ";
  } else if (frame_ >= 0) {
    text_ += "frame " + std::to_string(frame_) + ": ";
  }
  text_ += message_;
}

}  // namespace oxr
