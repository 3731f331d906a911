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

namespace {

// The joint map names source bones: each front end says where to find them.
constexpr std::string_view kSourceMapOption = "map";

std::string command_line_hint(std::string_view option, std::string_view value) {
  std::string text = command_line_spelling(option, value);
  if (option == kSourceMapOption) text += " (oxretarget skeleton kz lists the bones)";
  return text;
}

std::string python_hint(std::string_view option, std::string_view value) {
  std::string text = python_spelling(option, value);
  if (option == kSourceMapOption) text += " (oxretarget.Retargeter.source_bones lists the bones)";
  return text;
}

}  // namespace

std::string command_line_text(const Error& error) { return error.text(&command_line_spelling, &command_line_hint); }

std::string python_text(const Error& error) { return error.text(&python_spelling, &python_hint); }

}  // namespace oxr
