// oxretarget: retargets motion captures onto the mannequin skeleton.

#include "Commands.h"
#include "Errors.h"
#include "Options.h"
#include "Retarget.h"
#include "Temporaries.h"
#include "Version.h"

#include <algorithm>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>
#include <CLI/CLI.hpp>

namespace {

// The values of the table's options as the command line gave them (flags as "true"/"false").
struct TableValues {
  std::map<std::string, std::string> text;
  std::map<std::string, bool> flags;

  // Adds every option of the table offered in `scope` to `command`.
  void add_to(CLI::App* command, unsigned scope) {
    for (const oxr::OptionSpec& spec : oxr::option_table()) {
      if ((spec.scope & scope) == 0) continue;
      const std::string name(spec.name);
      const std::string flag = "--" + name;
      const std::string help(spec.help);
      if (spec.value_name.empty()) {
        command->add_flag(flag, flags[name], help);
        continue;
      }
      std::string& value = text[name];
      value = std::string(spec.default_value);
      CLI::Option* option = command->add_option(flag, value, help)->type_name(std::string(spec.value_name));
      if (!spec.default_value.empty()) option->capture_default_str();
      if (!spec.choices.empty()) option->check(CLI::IsMember(oxr::option_choices(spec)));
    }
  }

  // The pipeline's options from the values given.
  oxr::RetargetOptions options(unsigned scope) const {
    oxr::RetargetOptions result;
    for (const oxr::OptionSpec& spec : oxr::option_table()) {
      if ((spec.scope & scope) == 0 || !spec.pipeline) continue;
      const std::string name(spec.name);
      if (spec.value_name.empty()) {
        oxr::apply_option(result, name, flags.at(name) ? "true" : "false");
      } else if (!text.at(name).empty()) {
        oxr::apply_option(result, name, text.at(name));
      }
    }
    return result;
  }

  // The batch settings of a retarget (the table's options that are not the pipeline's).
  oxr::BatchSettings batch_settings() const {
    oxr::BatchSettings settings;
    settings.format = text.at("format");
    settings.report = text.at("report");
    settings.resume = flags.at("resume");
    settings.quiet = flags.at("quiet");
    settings.shard = text.at("shard");
    return settings;
  }
};

// Every option the commands offer, as their parser holds it, for `oxretarget options`: the README's
// table and the programs that wrap the tool see exactly what the command line takes.
std::vector<oxr::OfferedOption> offered_options(const CLI::App& app) {
  std::vector<oxr::OfferedOption> offered;
  for (const CLI::App* command : app.get_subcommands([](const CLI::App*) { return true; })) {
    for (const CLI::Option* option : command->get_options()) {
      if (option->get_positional() || option == command->get_help_ptr() || option->get_lnames().empty()) continue;
      offered.push_back({command->get_name(), option->get_lnames().front(), option->get_snames(),
                         option->get_type_name(), option->get_default_str(), option->get_description()});
    }
  }
  return offered;
}

// The commands and the values their options are parsed into.
struct CommandLine {
  CLI::App* demo = nullptr;
  std::string demo_dir = "oxretarget-demo";

  CLI::App* retarget = nullptr;
  std::vector<std::string> inputs;
  std::string out;
  int jobs = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  TableValues retarget_values;

  CLI::App* plan = nullptr;
  std::string plan_list;
  std::string plan_out;
  TableValues plan_values;

  CLI::App* preview = nullptr;
  std::vector<std::string> preview_inputs;
  std::string preview_out;
  TableValues preview_values;

  CLI::App* info = nullptr;
  std::string info_input;
  TableValues info_values;

  CLI::App* skeleton = nullptr;
  std::string kind;

  CLI::App* options = nullptr;

  // demo and retarget: the commands that write results.
  void add_writing_commands(CLI::App& app) {
    demo = app.add_subcommand("demo", "Write the built-in sample clip as BVH, retarget it and write the results");
    demo->add_option("-o,--output", demo_dir, "Folder for demo.bvh, demo.json and demo.glb")
        ->type_name("PATH")
        ->capture_default_str();

    retarget = app.add_subcommand("retarget", "Retarget BVH files onto the mannequin skeleton");
    retarget->add_option("inputs", inputs, "BVH files")->required();
    retarget
        ->add_option("-o,--output", out,
                     "Output file (one input) or folder (several inputs, --shard, or a name ending in /), created "
                     "if missing; without -o each result goes beside its input (walk.bvh -> walk.json)")
        ->type_name("PATH");
    retarget_values.add_to(retarget, oxr::kScopeRetarget);
    retarget->add_option("-j,--jobs", jobs, "Worker threads for several files (1 to 1024); default: one per core")
        ->type_name("N")
        ->check(CLI::Range(1, 1024).description(""));
  }

  // preview, info, skeleton and options: the commands that show what they read or know.
  void add_showing_commands(CLI::App& app) {
    preview = app.add_subcommand(
        "preview", "Write a self-contained HTML page that plays the source and the retargeted target side by side");
    preview->add_option("inputs", preview_inputs, "BVH files")->required();
    preview
        ->add_option("-o,--output", preview_out,
                     "Page (one input) or folder for pages and index.html (several inputs, or a name ending in /), "
                     "created if missing; without -o: beside the input (one), else the folder preview/")
        ->type_name("PATH");
    preview_values.add_to(preview, oxr::kScopePreview);

    info = app.add_subcommand("info",
                              "Describe a BVH file (joints, frames, which source bones it has) or a character "
                              "(.glb, .gltf, .vrm: which node plays which target bone)");
    info->add_option("input", info_input, "BVH file or character")->required();
    info_values.add_to(info, oxr::kScopeInfo);

    skeleton = app.add_subcommand("skeleton", "Print the outline of a skeleton");
    skeleton->add_option("kind", kind, "kz (source) or ue (target)")->required()->check(CLI::IsMember({"kz", "ue"}));

    options = app.add_subcommand("options", "Print every option as JSON (for programs that wrap the tool)");
  }

  // plan: where retarget would write, for programs that run the inputs themselves.
  void add_plan_command(CLI::App& app) {
    plan = app.add_subcommand(
        "plan",
        "Print as JSON where `retarget` would write each input's results and which inputs a shard takes; "
        "writes nothing (for programs that run the inputs themselves)");
    plan->add_option("--inputs", plan_list, "File that lists the inputs, one path a line")
        ->type_name("FILE")
        ->required();
    plan->add_option("-o,--output", plan_out, "As for retarget")->type_name("PATH");
    plan_values.add_to(plan, oxr::kScopeRetarget);
  }

  // Runs the command parsed; its exit status. Errors propagate.
  int run(const CLI::App& app) const {
    if (*demo) return oxr::run_demo(demo_dir);
    if (*retarget) {
      oxr::BatchSettings settings = retarget_values.batch_settings();
      settings.jobs = jobs;
      return oxr::run_retarget(inputs, out, settings, retarget_values.options(oxr::kScopeRetarget));
    }
    if (*plan) {
      return oxr::run_plan(plan_list, plan_out, plan_values.batch_settings(), plan_values.options(oxr::kScopeRetarget));
    }
    if (*preview) return oxr::run_preview(preview_inputs, preview_out, preview_values.options(oxr::kScopePreview));
    if (*info) return oxr::run_info(info_input, info_values.options(oxr::kScopeInfo));
    if (*skeleton) return oxr::run_skeleton(kind);
    if (*options) fmt::print("{}", oxr::option_table_json(offered_options(app)));
    return 0;
  }
};

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Retargets motion captures (BVH) onto the mannequin skeleton: glb, glTF, BVH, JSON or CSV out."};
  app.set_version_flag("--version", fmt::format("oxretarget {}", oxr::version()));
  app.require_subcommand(1);
  CommandLine commands;
  commands.add_writing_commands(app);
  commands.add_showing_commands(app);
  commands.add_plan_command(app);

  // Usage errors exit with status 2; --help and --version with 0.
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    const int status = app.exit(error);
    return status == 0 ? 0 : 2;
  }

  // Temporaries carry this host and process, so that a later run can remove them if this one dies.
  oxr::tag_temporaries_with_host();
  try {
    return commands.run(app);
  } catch (const oxr::ToolError& error) {
    fmt::print(stderr, "oxretarget: error: {}\n", oxr::command_line_text(error));
    return oxr::exit_status(error);
  } catch (const std::exception& error) {
    fmt::print(stderr, "oxretarget: error: {}\n", error.what());
    return 1;
  }
}
