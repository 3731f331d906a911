#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

namespace oxr {

// The one error of the pipeline and its front ends: a problem with a file or with an option's value,
// as data. It prints as one line, "FILE: [line N: |frame N: ][OPTION ]problem"; the file is named once,
// by the layer that knows it (in_file), however many layers the error passes through. An option is
// named by its name in the option table ("source-rest"); each front end spells it its own way
// (text()), what() as NAME=VALUE. The line holds no control characters (they show as
// '?') and at most 4096 bytes.
class ToolError : public std::exception {
 public:
  // A problem whose text may already begin with "FILE: "; in_file() then keeps that file.
  explicit ToolError(std::string message);
  ToolError(std::string file, std::string message);

  const char* what() const noexcept override { return text_.c_str(); }
  const std::string& file() const noexcept { return file_; }
  const std::string& message() const noexcept { return message_; }
  std::int64_t line() const noexcept { return line_; }
  std::int64_t frame() const noexcept { return frame_; }
  // The option whose value is wrong ("end") and that value as given ("9"); empty when the problem
  // is not an option's, or (the value) when it is the option's as a whole.
  const std::string& option() const noexcept { return option_; }
  const std::string& option_value() const noexcept { return option_value_; }

  // The line with the option spelled by `spell` (the command line's "--end 9", Python's "end=9").
  using OptionSpelling = std::string (*)(std::string_view option, std::string_view value);
  std::string text(OptionSpelling spell) const;

  // Names the file unless the error names one already; returns the error, to be rethrown.
  ToolError& in_file(const std::string& file);
  ToolError& at_line(std::int64_t line);
  ToolError& at_frame(std::int64_t frame);
  ToolError& of_option(std::string option, std::string value = {});

 private:
  void compose();

  std::string file_;
  std::string message_;
  std::int64_t line_ = 0;
  std::int64_t frame_ = -1;
  std::string option_;
  std::string option_value_;
  std::string text_;
};

// A failure to write an output file; it names that file.
class OutputError : public ToolError {
 public:
  using ToolError::ToolError;
};

// A name from a file as messages show it: control characters (ESC, BEL, newlines, NUL) as '?', and
// cut to 64 bytes with "..." after. Error texts pass through the same masking as a whole.
std::string shown_name(std::string_view name);

}  // namespace oxr
