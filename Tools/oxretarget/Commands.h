#pragma once

#include "Retarget.h"

#include <string>
#include <vector>

namespace oxr {

inline constexpr const char* kVersion = "0.1.0";

// The tool's subcommands; each returns the process exit status and throws ToolError on failure.
int run_retarget(const std::vector<std::string>& inputs, const std::string& out, const RetargetOptions& options,
                 int jobs);
int run_info(const std::string& input);
int run_skeleton(const std::string& kind);
int run_demo(const std::string& dir);

}  // namespace oxr
