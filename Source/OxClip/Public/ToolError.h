#pragma once

#include <stdexcept>
#include <string>

namespace oxr {

// A failure the tool reports as one line: "FILE: [line N: ]problem".
class ToolError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A wrong argument or a plan that cannot work (exit status 2); nothing was retargeted.
class UsageError : public ToolError {
 public:
  using ToolError::ToolError;
};

// A failure to write an output file; its text already names that file.
class OutputError : public ToolError {
 public:
  using ToolError::ToolError;
};

}  // namespace oxr
