#pragma once

// Every option of the tool, the Python package and the cluster runner, spelled once: its name,
// values, default and help text. The command line, Python's keywords (the name with '_' for '-') and
// the runner's arguments are all built from this table.

#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace oxr {

struct RetargetOptions;

// Where an option is offered.
enum OptionScope : unsigned {
  kScopeRetarget = 1u << 0,  // oxretarget retarget
  kScopePreview = 1u << 1,   // oxretarget preview
  kScopePython = 1u << 2,    // oxretarget.retarget_file(...)
  kScopeCluster = 1u << 3,   // oxretarget-dask
  kScopeInfo = 1u << 4,      // oxretarget info
};

struct OptionSpec {
  std::string_view name;           // without the dashes: "root-motion"
  std::string_view value_name;     // "UNIT"; empty for a flag
  std::string_view choices;        // "cm|m|mm|in"; empty for free text
  std::string_view default_value;  // as the command line would spell it; empty for none
  std::string_view help;
  unsigned scope;
  bool pipeline;  // read into RetargetOptions by apply_option; otherwise a batch setting of the tool
};

std::span<const OptionSpec> option_table();

// The values an option takes ("cm|m|mm|in" as {"cm", "m", "mm", "in"}); empty for free text.
std::vector<std::string> option_choices(const OptionSpec& spec);

// The option of that name (command-line or Python spelling); nullptr for an unknown name.
const OptionSpec* find_option(std::string_view name);

// Sets a pipeline option from its text ("true"/"false" for a flag). Throws an error naming the option
// (UsageError, Error::option()) on a value the option does not take. Options are independent of
// their order: a rig is read by prepare_options.
void apply_option(RetargetOptions& options, std::string_view name, std::string_view value);

// Completes options once all are set: reads the target rig's or the character's file. Throws
// UsageError naming it.
void prepare_options(RetargetOptions& options);

// An option as a command of the tool offers it, read from the tool's command-line parser: the
// command ("retarget"), the long name without dashes, its short forms ("o" for -o), and for an option
// the table lacks (-o, --jobs) its value name, default and help.
struct OfferedOption {
  std::string command;
  std::string name;
  std::vector<std::string> short_names;
  std::string value_name;
  std::string default_value;
  std::string help;
};

// The table as a JSON array of objects (name, value_name, choices, default, help, scopes), for
// programs that build their own command line from it. With `offered`, every object also lists the
// tool's commands that offer it ("commands") and its short forms ("short"), and the options only the
// command line has come first, in the order offered (their default only where every command agrees).
std::string option_table_json(std::span<const OfferedOption> offered = {});

}  // namespace oxr
