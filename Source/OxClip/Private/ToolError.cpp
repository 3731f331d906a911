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

// The library's own spelling of an option: its name in the option table, "=" and the value.
std::string table_spelling(std::string_view option, std::string_view value) {
  std::string text(option);
  if (!value.empty()) (text += '=') += value;
  return text;
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
  text += message_;
  cut(text, kLineLimit);
  mask_controls(text);
  return text;
}

void ToolError::compose() { text_ = text(&table_spelling); }

}  // namespace oxr
