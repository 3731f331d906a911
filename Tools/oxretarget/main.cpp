// oxretarget: retargets motion files of the source skeleton onto the target skeleton.

#include "Commands.h"
#include "Retarget.h"
#include "ToolError.h"

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>
#include <CLI/CLI.hpp>

int main(int argc, char** argv) {
  CLI::App app{"Retargets motion of the KZ source skeleton onto the UE mannequin skeleton."};
  app.set_version_flag("--version", fmt::format("oxretarget {}", oxr::kVersion));
  app.require_subcommand(1);

  std::string demo_dir = "oxretarget-demo";
  CLI::App* demo =
      app.add_subcommand("demo", "Write the built-in sample clip as BVH, retarget it and write the results");
  demo->add_option("-o,--output", demo_dir, "Folder for demo.bvh, demo.json and demo.glb")->capture_default_str();

  // The options that shape a retarget, shared by retarget and preview.
  std::string axes = "bvh";
  std::string units = "cm";
  std::string root_motion = "pelvis";
  std::string target_rig;
  std::string character;
  std::string contacts = "auto";
  std::string finger_rule = "curl";
  std::string source_rest = "zero";
  bool fingers = false;
  const auto add_retarget_options = [&](CLI::App* command) {
    command->add_option("--units", units, "Length unit of the source files")
        ->check(CLI::IsMember({"cm", "m", "mm", "in"}))
        ->capture_default_str();
    command
        ->add_option(
            "--root-motion", root_motion,
            "pelvis: the pelvis follows the hips; root: ground travel and heading on the root bone; none: in place")
        ->check(CLI::IsMember({"pelvis", "root", "none"}))
        ->capture_default_str();
    command
        ->add_option("--source-rest", source_rest,
                     "The source's rest pose: zero (its zero pose), kz (rotations relative to the KZ T-pose), "
                     "frame:N (frame N of each file) or file:REST.bvh (the first frame of a file with the same joints)")
        ->capture_default_str();
    command->add_option("--target-rig", target_rig,
                        "BVH or glTF file of a rig with target bone names: its bone offsets");
    command->add_option("--character", character,
                        "glTF file (.glb or .gltf) of a skinned character with target bone names: results are that "
                        "file with the clip added as an animation, in its proportions");
    command
        ->add_option("--contacts", contacts,
                     "auto: hold the feet the source plants where they land (legs of other proportions); off")
        ->check(CLI::IsMember({"auto", "off"}))
        ->capture_default_str();
    command
        ->add_option("--fingers", finger_rule,
                     "curl: each finger's curl; full: each finger bone's world change (splay and twist too)")
        ->check(CLI::IsMember({"curl", "full"}))
        ->capture_default_str();
    command->add_flag("--fingers-t-pose", fingers, "Keep every finger bone of the target in its T-pose");
    command
        ->add_option("--axes", axes, "bvh: convert from Y-up files; none: rotations are already in the library's axes")
        ->check(CLI::IsMember({"bvh", "none"}))
        ->capture_default_str();
  };

  std::vector<std::string> inputs;
  std::string out;
  std::string format;
  int jobs = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  CLI::App* retarget = app.add_subcommand("retarget", "Retarget BVH files of the source skeleton");
  retarget->add_option("inputs", inputs, "BVH files")->required();
  retarget->add_option("-o,--output", out, "Output file (one input) or folder (several); default: beside each input");
  retarget->add_option("--format", format, "Result format; default: from the -o extension, else json")
      ->check(CLI::IsMember({"json", "csv", "glb", "gltf", "bvh"}));
  add_retarget_options(retarget);
  std::string report;
  std::string shard;
  bool resume = false;
  retarget->add_option("--report", report,
                       "Write a JSON-lines report: one line per input (status, frames, error, warnings)");
  retarget->add_flag("--resume", resume, "Skip inputs whose result exists and is newer than the input");
  retarget->add_option("--shard", shard, "K/N: retarget only the K-th of N parts of the sorted inputs (array jobs)");
  retarget->add_option("-j,--jobs", jobs, "Worker threads for several files")
      ->check(CLI::Range(1, 1024))
      ->capture_default_str();

  std::vector<std::string> preview_inputs;
  std::string preview_out;
  CLI::App* preview = app.add_subcommand(
      "preview", "Write a self-contained HTML page that plays the source and the retargeted target side by side");
  preview->add_option("inputs", preview_inputs, "BVH files")->required();
  preview->add_option("-o,--output", preview_out,
                      "Page (one input; default: beside the input) or folder for pages and index.html (several)");
  add_retarget_options(preview);

  std::string info_input;
  CLI::App* info = app.add_subcommand("info", "Describe a BVH file: joints, frames, and which source bones it has");
  info->add_option("input", info_input, "BVH file")->required();

  std::string kind;
  CLI::App* skeleton = app.add_subcommand("skeleton", "Print the outline of a skeleton");
  skeleton->add_option("kind", kind, "kz (source) or ue (target)")->required()->check(CLI::IsMember({"kz", "ue"}));

  // Usage errors exit with status 2; --help and --version with 0.
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    const int status = app.exit(error);
    return status == 0 ? 0 : 2;
  }

  try {
    if (*demo) return oxr::run_demo(demo_dir);
    const auto retarget_options = [&] {
      oxr::RetargetOptions options;
      options.axes = axes == "none" ? oxr::Axes::None : oxr::Axes::Bvh;
      options.fingers_t_pose = fingers;
      options.units = oxr::units_from_name(units);
      options.root_motion = oxr::root_motion_from_name(root_motion);
      options.source_rest = oxr::source_rest_from_text(source_rest);
      options.contacts = oxr::contacts_from_name(contacts);
      options.fingers = oxr::fingers_from_name(finger_rule);
      return options;
    };
    if (*retarget) {
      oxr::BatchSettings settings;
      settings.format = format;
      settings.target_rig = target_rig;
      settings.character = character;
      settings.report = report;
      settings.resume = resume;
      settings.shard = shard;
      settings.jobs = jobs;
      return oxr::run_retarget(inputs, out, settings, retarget_options());
    }
    if (*preview) return oxr::run_preview(preview_inputs, preview_out, target_rig, character, retarget_options());
    if (*info) return oxr::run_info(info_input);
    if (*skeleton) return oxr::run_skeleton(kind);
  } catch (const oxr::UsageError& error) {
    fmt::print(stderr, "oxretarget: error: {}\n", error.what());
    return 2;
  } catch (const oxr::ToolError& error) {
    fmt::print(stderr, "oxretarget: error: {}\n", error.what());
    return 1;
  } catch (const std::exception& error) {
    fmt::print(stderr, "oxretarget: error: {}\n", error.what());
    return 1;
  }
  return 0;
}
