#pragma once

// How the front ends (the tool, the Python package, the cluster runner through the tool) end on an
// error and spell the option an error names.

#include "ToolError.h"

#include <string>
#include <string_view>

namespace oxr {

// The status a command ends with on this error: 2 for a usage error (a wrong option value, a plan
// that cannot work: nothing was retargeted), 1 for a file that could not be read, done or written.
int exit_status(const Error& error);

// An option as the command line spells it: "--end 9", "--fps".
std::string command_line_spelling(std::string_view option, std::string_view value);

// An option as Python's keyword spells it: "end=9", "source_rest=kz", "fps".
std::string python_spelling(std::string_view option, std::string_view value);

// The error's line as each front end prints it: its options spelled that front end's way, and a
// hint to name the capture's joints pointing to where that front end lists the source bones.
std::string command_line_text(const Error& error);
std::string python_text(const Error& error);

}  // namespace oxr
