#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

namespace oxr {

// The one error of the pipeline and the tool: a problem with a file (or with the command line), as
// data. It prints as one line, "FILE: [line N: |frame N: ]problem"; the file is named once, by the
// layer that knows it (in_file), however many layers the error passes through. The line holds no
// control characters (they show as '?') and at most 4096 bytes.
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

  // Names the file unless the error names one already; returns the error, to be rethrown.
  ToolError& in_file(const std::string& file);
  ToolError& at_line(std::int64_t line);
  ToolError& at_frame(std::int64_t frame);

 private:
  void compose();

  std::string file_;
  std::string message_;
  std::int64_t line_ = 0;
  std::int64_t frame_ = -1;
  std::string text_;
};

// A wrong argument or a plan that cannot work: exit status 2, nothing was retargeted.
class UsageError : public ToolError {
 public:
  using ToolError::ToolError;
};

// A failure to write an output file; it names that file.
class OutputError : public ToolError {
 public:
  using ToolError::ToolError;
};

// A name from a file as messages show it: control characters (ESC, BEL, newlines, NUL) as '?', and
// cut to 64 bytes with "..." after. Error texts pass through the same masking as a whole.
std::string shown_name(std::string_view name);

// The exit status an error ends a command with: 2 for a usage error, 1 for a file that failed.
inline int exit_status(const ToolError& error) { return dynamic_cast<const UsageError*>(&error) ? 2 : 1; }

}  // namespace oxr
