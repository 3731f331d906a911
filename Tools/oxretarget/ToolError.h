#pragma once

#include <stdexcept>
#include <string>

namespace oxr {

// A failure the tool reports as one line: "FILE: [line N: ]problem".
class ToolError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace oxr
