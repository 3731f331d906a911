#include "Error.h"

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

std::string OptionHint::text(OptionSpelling spell) const {
  if (option.empty()) return {};
  return "; " + lead + " " + spell(option, value);
}

std::string shown_name(std::string_view name) {
  std::string text(name);
  cut(text, kNameLimit);
  mask_controls(text);
  return text;
}

Error::Error(std::string message, Kind kind) : kind_(kind), message_(std::move(message)) { compose(); }

Error::Error(std::string file, std::string message, Kind kind)
    : kind_(kind), file_(std::move(file)), message_(std::move(message)) {
  compose();
}

Error& Error::in_file(const std::string& file) {
  // An output's error names the output, in its file or its text, never the input being read.
  if (!file_.empty() || file.empty() || kind_ == Kind::Output) return *this;
  // A message that already begins with this file's name keeps it once.
  const std::string prefix = file + ": ";
  if (message_.rfind(prefix, 0) == 0) message_.erase(0, prefix.size());
  file_ = file;
  compose();
  return *this;
}

Error& Error::at_line(std::int64_t line) {
  line_ = line;
  compose();
  return *this;
}

Error& Error::at_frame(std::int64_t frame) {
  frame_ = frame;
  compose();
  return *this;
}

Error& Error::of_option(std::string option, std::string value) {
  option_ = std::move(option);
  option_value_ = std::move(value);
  compose();
  return *this;
}

Error& Error::with_hint(std::string lead, std::string option, std::string value) {
  hint_ = {std::move(lead), std::move(option), std::move(value)};
  compose();
  return *this;
}

Error& Error::of_kind(Kind kind) {
  kind_ = kind;
  return *this;
}

std::string Error::text(OptionSpelling spell, OptionSpelling spell_hint) const {
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
  text += hint_.text(spell_hint != nullptr ? spell_hint : spell);
  cut(text, kLineLimit);
  mask_controls(text);
  return text;
}

void Error::compose() { text_ = text(&table_spelling); }

}  // namespace oxr
