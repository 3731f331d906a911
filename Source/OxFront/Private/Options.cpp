#include "Options.h"

#include "Character.h"
#include "Errors.h"
#include "FbxCharacter.h"
#include "FbxReader.h"
#include "Retarget.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

#include <nlohmann/json.hpp>

namespace oxr {
namespace {

constexpr unsigned kAll = kScopeRetarget | kScopePreview | kScopePython | kScopeCluster;
constexpr unsigned kReading = kAll | kScopeInfo;  // how a file is read: info too
constexpr unsigned kBatch = kScopeRetarget | kScopePython | kScopeCluster;

constexpr OptionSpec kOptions[] = {
    {"format", "FORMAT", "json|csv|glb|gltf|bvh|fbx|vrma", "",
     "Result format (vrma: VRM Animation); default: from the -o extension, else json", kBatch, false},
    {"units", "UNIT", "cm|m|mm|in", "cm", "Length unit of the results (glTF is always in metres)", kAll, true},
    {"source-units", "UNITS", "", "auto",
     "Length unit of the source files: auto (the unit that makes the figure 1.2 m to 2.3 m tall), cm, m, mm, in, "
     "or a number of centimetres per file unit",
     kReading, true},
    {"source-up", "AXIS", "auto|+y|+z|-y|-z|+x|-x", "auto",
     "Up axis of the source files; auto: found from the skeleton", kReading, true},
    {"map", "FILE", "", "", "JSON object of file joint -> source bone that overrides or completes skeleton recognition",
     kReading, true},
    {"root-motion", "MODE", "pelvis|root|none", "pelvis",
     "pelvis: the pelvis follows the hips; root: ground travel and heading on the root bone; none: in place", kAll,
     true},
    {"source-rest", "REST", "", "auto",
     "The source's rest pose: auto (the zero pose when close to a T-pose, else a T-pose built from the skeleton), "
     "zero (its zero pose), kz (rotations relative to the KZ T-pose), frame:N (frame N of "
     "each file) or file:REST.bvh (the first frame of a file with the same joints)",
     kAll, true},
    {"target-rig", "RIG", "", "",
     "BVH or glTF file of a rig with target bone names, or an FBX skeleton in any naming: its bone offsets", kAll,
     true},
    {"character", "CHARACTER", "", "",
     "glTF or VRM file (.glb, .gltf, .vrm) or FBX file of a skinned humanoid character in any naming (recognised "
     "like a capture, or by the VRM's own humanoid map): each result is that file with the clip added as one more "
     "animation, in the character's proportions (an FBX character: its skeleton animated, as FBX or glb)",
     kAll, true},
    {"target", "SKELETON", "mannequin|mixamo|humanoid", "",
     "Write results on a built-in skeleton in the mannequin's proportions: the mannequin's own, Mixamo's names "
     "and hierarchy (mixamorig:Hips, LeftUpLeg), or the humanoid names VRM, Unity and Godot share (Hips, "
     "LeftUpperLeg); default: the target skeleton in the source's (or the rig's or character's) proportions",
     kBatch, true},
    {"target-map", "FILE", "", "",
     "JSON object of character node -> bone (a target, KZ or VRM humanoid bone name) that overrides or completes "
     "the character's recognition",
     kAll | kScopeInfo, true},
    {"contacts", "MODE", "auto|off", "auto",
     "auto: hold the feet the source plants where they land and keep them above the ground (on a rig or character "
     "of other proportions); off: leave the solved legs as they are",
     kAll, true},
    {"fingers", "RULE", "curl|full", "curl",
     "curl: each finger's curl; full: each finger bone's world change like the body's (splay and twist too)", kAll,
     true},
    {"fingers-t-pose", "", "", "", "Keep every finger bone of the target in its T-pose", kAll, true},
    {"axes", "AXES", "bvh|none", "bvh",
     "bvh: convert from Y-up files; none: rotations are already in the library's axes", kAll, true},
    {"start", "N|Ts", "", "", "First frame kept: a frame number (0 is the file's first) or seconds with s (1.5s)", kAll,
     true},
    {"end", "N|Ts", "", "", "Last frame kept (included): a frame number or seconds with s (4.5s)", kAll, true},
    {"fps", "N", "", "", "Resample to N frames per second (slerp; the file's frames kept where the ratio is whole)",
     kAll, true},
    {"mirror", "", "", "", "Mirror the performance left for right before the solve", kAll, true},
    {"take", "NAME|N", "", "",
     "FBX sources: the take to read, by name or number from 1 (info lists them); default "
     "the first",
     kReading, true},
    {"quiet", "", "", "", "Print errors and the summary only", kScopeRetarget | kScopeCluster, false},
    {"bvh-positions", "MODE", "auto|absolute|relative", "auto",
     "Position channels of joints with a non-zero OFFSET: absolute (the whole position), relative (added to the "
     "OFFSET) or auto (decided per file from its first frame)",
     kReading, true},
    {"mesh", "MESH", "box|none", "box", "glb/gltf/fbx: box (a box per bone, skinned to it, for viewers) or none",
     kBatch, true},
    {"report", "FILE", "", "", "Write a JSON-lines report: one line per input (status, frames, error, warnings)",
     kScopeRetarget | kScopeCluster, false},
    {"resume", "", "", "", "Skip inputs whose result exists and is newer than the input",
     kScopeRetarget | kScopeCluster, false},
    {"shard", "K/N", "", "", "Retarget only the K-th of N parts of the sorted inputs (array jobs)",
     kScopeRetarget | kScopeCluster, false},
};

std::string spelled(std::string_view name) {
  std::string text(name);
  std::replace(text.begin(), text.end(), '_', '-');
  return text;
}

std::string listed(std::string_view choices) {
  std::string text(choices);
  std::replace(text.begin(), text.end(), '|', ',');
  return text;
}

}  // namespace

std::span<const OptionSpec> option_table() { return kOptions; }

std::vector<std::string> option_choices(const OptionSpec& spec) {
  std::vector<std::string> choices;
  for (std::string_view rest = spec.choices; !rest.empty();) {
    const auto bar = rest.find('|');
    choices.emplace_back(rest.substr(0, bar));
    if (bar == std::string_view::npos) break;
    rest.remove_prefix(bar + 1);
  }
  return choices;
}

const OptionSpec* find_option(std::string_view name) {
  const std::string wanted = spelled(name);
  for (const OptionSpec& spec : kOptions) {
    if (spec.name == wanted) return &spec;
  }
  return nullptr;
}

void apply_option(RetargetOptions& options, std::string_view name, std::string_view value) {
  const OptionSpec* spec = find_option(name);
  if (spec == nullptr || !spec->pipeline) throw UsageError(": no such option").of_option(spelled(name));
  const std::string option(spec->name);
  if (spec->value_name.empty() && value != "true" && value != "false") {
    throw UsageError(": a flag takes no value").of_option(option);
  }
  const std::vector<std::string> choices = option_choices(*spec);
  if (!choices.empty() && std::find(choices.begin(), choices.end(), value) == choices.end()) {
    throw UsageError(": expected one of " + listed(spec->choices)).of_option(option, std::string(value));
  }
  const std::string text(value);
  if (spec->name == "units") {
    options.units = units_from_name(text);
  } else if (spec->name == "root-motion") {
    options.root_motion = root_motion_from_name(text);
  } else if (spec->name == "source-rest") {
    options.source_rest = source_rest_from_text(text);
  } else if (spec->name == "source-units") {
    options.source_metres_per_unit = source_units_from_text(text);
  } else if (spec->name == "source-up") {
    options.source_up = source_up_from_text(text);
  } else if (spec->name == "map") {
    try {
      options.map = text.empty() ? nullptr : std::make_shared<const JointMap>(read_joint_map(text));
      options.map_name = text;
    } catch (Error& error) {
      throw UsageError(std::move(error));
    }
  } else if (spec->name == "target-rig") {
    options.target_rig = text;
    options.rig.reset();
  } else if (spec->name == "character") {
    options.character_file = text;
    options.character.reset();
    options.fbx_character.reset();
    options.rig.reset();
  } else if (spec->name == "target") {
    options.target = target_family_from_name(text);
    options.rig.reset();
  } else if (spec->name == "target-map") {
    options.target_map = text;
    options.character.reset();
    options.fbx_character.reset();
  } else if (spec->name == "contacts") {
    options.contacts = contacts_from_name(text);
  } else if (spec->name == "fingers") {
    options.fingers = fingers_from_name(text);
  } else if (spec->name == "fingers-t-pose") {
    options.fingers_t_pose = value == "true";
  } else if (spec->name == "axes") {
    options.axes = value == "none" ? Axes::None : Axes::Bvh;
  } else if (spec->name == "start") {
    options.clip.start = clip_point_from_text(option, text);
  } else if (spec->name == "end") {
    options.clip.end = clip_point_from_text(option, text);
  } else if (spec->name == "fps") {
    double fps = 0;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), fps);
    if (result.ec != std::errc() || result.ptr != text.data() + text.size() || !(fps > 0) || !std::isfinite(fps)) {
      throw UsageError(": expected a number of frames per second above 0").of_option(option, text);
    }
    options.clip.fps = fps;
  } else if (spec->name == "take") {
    options.take = text;
  } else if (spec->name == "mirror") {
    options.clip.mirror = value == "true";
  } else if (spec->name == "bvh-positions") {
    options.positions = value == "absolute"   ? bvh::Positions::Absolute
                        : value == "relative" ? bvh::Positions::Relative
                                              : bvh::Positions::Auto;
  } else if (spec->name == "mesh") {
    options.mesh = value == "none" ? Mesh::None : Mesh::Box;
  }
}

void prepare_options(RetargetOptions& options) {
  if (!options.character_file.empty() && !options.target_rig.empty()) {
    throw UsageError(": the character gives the target's proportions already; give one of the two")
        .of_option("target-rig", options.target_rig);
  }
  if (options.target != TargetFamily::Own) {
    if (!options.character_file.empty() || !options.target_rig.empty()) {
      throw UsageError(std::string(": gives the skeleton and its proportions; it goes with neither ") +
                       (options.character_file.empty() ? "a rig" : "a character"))
          .of_option("target");
    }
    if (!options.rig) options.rig = std::make_shared<const RigPositions>(mannequin_rig(options.units));
    return;
  }
  if (!options.target_map.empty() && options.character_file.empty()) {
    throw UsageError(": maps a character's joints; give the character too").of_option("target-map", options.target_map);
  }
  if (!options.character_file.empty() && is_fbx_path(options.character_file)) {
    if (!options.fbx_character) {
      try {
        options.fbx_character = FbxCharacter::read(options.character_file, options.units, options.target_map);
      } catch (Error& error) {
        throw UsageError(std::move(error));
      }
    }
    options.rig = std::make_shared<const RigPositions>(options.fbx_character->rig);
    return;
  }
  if (!options.character_file.empty() && !options.character) {
    try {
      options.character = Character::read(options.character_file, options.units, options.target_map);
    } catch (Error& error) {
      throw UsageError(std::move(error));
    }
    options.rig = std::make_shared<const RigPositions>(options.character->rig());
    return;
  }
  if (options.target_rig.empty() || options.rig) return;
  try {
    options.rig = std::make_shared<const RigPositions>(read_target_rig(options.target_rig, options.units));
  } catch (Error& error) {
    throw UsageError(std::move(error));
  }
}

namespace {

nlohmann::json scope_names(unsigned scope) {
  nlohmann::json scopes = nlohmann::json::array();
  if (scope & kScopeRetarget) scopes.push_back("retarget");
  if (scope & kScopePreview) scopes.push_back("preview");
  if (scope & kScopePython) scopes.push_back("python");
  if (scope & kScopeCluster) scopes.push_back("cluster");
  if (scope & kScopeInfo) scopes.push_back("info");
  return scopes;
}

// Adds what the tool's commands say of an option: the commands that offer it and its short forms.
void add_offers(nlohmann::ordered_json& entry, std::span<const OfferedOption> offered) {
  nlohmann::ordered_json commands = nlohmann::ordered_json::array();
  nlohmann::ordered_json shorts = nlohmann::ordered_json::array();
  for (const OfferedOption& offer : offered) {
    if (offer.name != entry["name"]) continue;
    if (std::find(commands.begin(), commands.end(), offer.command) == commands.end()) commands.push_back(offer.command);
    for (const std::string& name : offer.short_names) {
      if (std::find(shorts.begin(), shorts.end(), name) == shorts.end()) shorts.push_back(name);
    }
  }
  entry["commands"] = std::move(commands);
  entry["short"] = std::move(shorts);
}

// The options only the command line has (-o, --jobs), each once, in the order offered.
std::vector<nlohmann::ordered_json> command_line_options(std::span<const OfferedOption> offered) {
  std::vector<nlohmann::ordered_json> found;
  for (const OfferedOption& offer : offered) {
    if (find_option(offer.name) != nullptr) continue;
    const auto same = [&](const nlohmann::ordered_json& entry) { return entry["name"] == offer.name; };
    const auto it = std::find_if(found.begin(), found.end(), same);
    if (it == found.end()) {
      nlohmann::json scopes = nlohmann::json::array();
      found.push_back({{"name", offer.name},
                       {"value_name", offer.value_name},
                       {"choices", nlohmann::json::array()},
                       {"default", offer.default_value},
                       {"help", offer.help},
                       {"scopes", scopes}});
    } else if ((*it)["default"] != offer.default_value) {
      (*it)["default"] = "";  // the commands disagree (demo's -o has one, retarget's none)
    }
  }
  return found;
}

}  // namespace

std::string option_table_json(std::span<const OfferedOption> offered) {
  nlohmann::ordered_json table = nlohmann::ordered_json::array();
  std::vector<nlohmann::ordered_json> entries = command_line_options(offered);
  for (const OptionSpec& spec : kOptions) {
    entries.push_back({{"name", spec.name},
                       {"value_name", spec.value_name},
                       {"choices", option_choices(spec)},
                       {"default", spec.default_value},
                       {"help", spec.help},
                       {"scopes", scope_names(spec.scope)}});
  }
  for (nlohmann::ordered_json& entry : entries) {
    if (!offered.empty()) add_offers(entry, offered);
    table.push_back(std::move(entry));
  }
  return table.dump(1) + "\n";
}

}  // namespace oxr
