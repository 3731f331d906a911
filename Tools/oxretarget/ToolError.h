#pragma once

#include <stdexcept>
#include <string>

namespace oxr {

// A failure the tool reports as one line: "FILE: [line N: ]problem".
class ToolError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A failure to write an output file; its text already names that file.
class OutputError : public ToolError {
 public:
  using ToolError::ToolError;
};

}  // namespace oxr
