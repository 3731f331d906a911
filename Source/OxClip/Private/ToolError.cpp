#include "ToolError.h"

#include <utility>

namespace oxr {
namespace {

constexpr std::size_t kNameLimit = 64;
constexpr std::size_t kLineLimit = 4096;

void mask_controls(std::string& text) {
  for (char& c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) c = '?';
  }
}

// Cut at `limit` bytes, not inside a UTF-8 sequence, with "..." after.
void cut(std::string& text, std::size_t limit) {
  if (text.size() <= limit) return;
  std::size_t at = limit;
  while (at > 0 && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80) --at;
  text.resize(at);
  text += "...";
}

}  // namespace

std::string shown_name(std::string_view name) {
  std::string text(name);
  cut(text, kNameLimit);
  mask_controls(text);
  return text;
}

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
  cut(text_, kLineLimit);
  mask_controls(text_);
}

}  // namespace oxr
