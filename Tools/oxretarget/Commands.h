#pragma once

#include "Retarget.h"

#include <string>
#include <vector>

namespace oxr {

// The tool's subcommands; each returns the process exit status and throws ToolError on failure.
// How a batch runs beyond the retarget options.
struct BatchSettings {
  std::string format;   // "" to take it from the -o extension (json when there is none)
  std::string report;   // JSON-lines report file, "" for none
  bool resume = false;  // skip inputs whose result is complete and newer than the input
  std::string shard;    // "K/N": the K-th of N round-robin parts of the sorted inputs; "" for all
  int jobs = 1;
  bool quiet = false;  // errors and the summary only: no warnings, progress bar or result path
};

// Exit status: 0 every input done, 1 some input failed; usage errors throw UsageError (status 2).
int run_retarget(std::vector<std::string> inputs, const std::string& out, const BatchSettings& settings,
                 RetargetOptions options);
// Prints the plan of `oxretarget retarget` over the inputs the file `list` names (one a line) as JSON
// (run_plan_json), for a program that runs the inputs itself; writes nothing.
int run_plan(const std::string& list, const std::string& out, const BatchSettings& settings, RetargetOptions options);
// One self-contained HTML page per input that plays the source and the target side by side; with
// several inputs, pages and an index.html go into the folder `out` names.
int run_preview(const std::vector<std::string>& inputs, const std::string& out, RetargetOptions options);
// Describes a file as the pipeline reads it with these options (how position channels read, ...).
int run_info(const std::string& input, RetargetOptions options);
int run_skeleton(const std::string& kind);
int run_demo(const std::string& dir);

}  // namespace oxr
