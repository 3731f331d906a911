#pragma once

// How the front ends (the tool, the Python package, the cluster runner through the tool) end on an
// error and spell the option an error names.

#include "ToolError.h"

#include <string>
#include <string_view>

namespace oxr {

// A wrong command line or keyword, or a run that cannot work as planned: nothing was retargeted.
class UsageError : public ToolError {
 public:
  using ToolError::ToolError;
};

// The status a command ends with on this error: 2 for a usage error or a wrong option value, 1 for a
// file that could not be done.
int exit_status(const ToolError& error);

// An option as the command line spells it: "--end 9", "--fps".
std::string command_line_spelling(std::string_view option, std::string_view value);

// An option as Python's keyword spells it: "end=9", "source_rest=kz", "fps".
std::string python_spelling(std::string_view option, std::string_view value);

}  // namespace oxr
