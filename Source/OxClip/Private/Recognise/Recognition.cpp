// Skeleton recognition: the passes in order, the map file and units passes, and the texts a user
// gives (units, up, a map file).
#include "Recognition.h"

#include "Error.h"
#include "RecognitionPasses.h"
#include "Solver.h"
#include "ToolError.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>

namespace oxr {
namespace recognition {
namespace {

constexpr double kMannequinHeight = 1.75;  // metres, the target's standing height

// The joint a map file names: its exact name, else the same name in another letter case; -1 for none.
int joint_named(const State& st, const std::string& name) {
  for (std::size_t j = 0; j < st.n; ++j) {
    if (st.skeleton.names[j] == name) return static_cast<int>(j);
  }
  for (std::size_t j = 0; j < st.n; ++j) {
    if (lower(st.skeleton.names[j]) == lower(name)) return static_cast<int>(j);
  }
  return -1;
}

// The source bone a map file's entry names, as the source skeleton spells it; "" leaves the joint to
// no bone. A map's errors name the map in their text: the error's file is the clip it was applied to.
std::string mapped_bone(const State& st, const std::string& joint_name, const std::string& bone_name) {
  if (joint_named(st, joint_name) < 0) {
    std::string message = st.request.map_name;
    message.append(": joint \"")
        .append(shown_name(joint_name))
        .append("\" (mapped to \"")
        .append(shown_name(bone_name));
    message.append("\") is not a joint of this file");
    throw Error(message);
  }
  if (bone_name.empty()) return "";
  const std::string* bone = source_bone_spelled(bone_name);
  if (bone == nullptr) {
    std::string message = st.request.map_name;
    message.append(": \"").append(shown_name(bone_name)).append("\" (for joint \"").append(shown_name(joint_name));
    message.append("\") is not a source bone; oxretarget skeleton kz lists them");
    throw Error(message);
  }
  return *bone;
}

bool has_bone(const State& st, const std::string& bone) {
  return std::any_of(st.bone_of.begin(), st.bone_of.end(),
                     [&](const std::optional<Assigned>& assigned) { return assigned && assigned->bone == bone; });
}

std::string joined(const std::vector<std::string>& parts) {
  std::string text;
  for (const std::string& part : parts) text += (text.empty() ? "" : "; ") + part;
  return text;
}

// Bones keep the source skeleton's order in the file: the joint of each bone lies below the joint of
// the nearest bone above it that has one (the hips above the legs, the arm above the hand). Returns
// what is out of order; empty when nothing is.
std::string order_problem(const State& st) {
  const SkeletonData& source = source_skeleton();
  std::vector<int> joint_of(source.names.size(), -1);
  for (std::size_t j = 0; j < st.n; ++j) {
    if (!st.bone_of[j]) continue;
    const int b = source.index_of(st.bone_of[j]->bone);
    if (b >= 0) joint_of[static_cast<std::size_t>(b)] = static_cast<int>(j);
  }
  std::string problem;
  for (std::size_t b = 0; b < source.names.size(); ++b) {
    const int joint = joint_of[b];
    int up = source.parents[b];
    while (up >= 0 && joint_of[static_cast<std::size_t>(up)] < 0) up = source.parents[static_cast<std::size_t>(up)];
    if (joint < 0 || up < 0) continue;
    const int above = joint_of[static_cast<std::size_t>(up)];
    bool below = false;
    for (int at = st.skeleton.parents[static_cast<std::size_t>(joint)]; at >= 0 && !below;
         at = st.skeleton.parents[static_cast<std::size_t>(at)]) {
      below = at == above;
    }
    if (below) continue;
    std::string text = "joint \"" + shown_name(st.skeleton.names[static_cast<std::size_t>(joint)]) + "\" (" +
                       source.names[b] + ") is not below joint \"" +
                       shown_name(st.skeleton.names[static_cast<std::size_t>(above)]) + "\" (" +
                       source.names[static_cast<std::size_t>(up)] + ")";
    // A pair the map file made is the one to name.
    if (st.bone_of[static_cast<std::size_t>(joint)]->evidence == Evidence::MapFile) return text;
    if (problem.empty()) problem = text;
  }
  return problem;
}

// A skeleton whose bones are out of order is refused: a map that puts them so, naming the joint; a
// file named so, as no human.
void check_order(State& st) {
  const std::string problem = order_problem(st);
  if (problem.empty()) return;
  if (!st.request.map.empty()) {
    throw Error(st.request.map_name + ": " + problem + "; a map keeps the skeleton's order");
  }
  st.result.failure = problem;
}

void collect_pairs(State& st) {
  for (std::size_t j = 0; j < st.n; ++j) {
    const std::optional<Assigned>& assigned = st.bone_of[j];
    if (assigned) st.result.pairs.push_back({static_cast<int>(j), assigned->bone, assigned->evidence});
  }
}

}  // namespace

State::State(const SkeletonDescription& skeleton_in, const RecognitionRequest& request_in)
    : skeleton(skeleton_in), request(request_in), n(skeleton_in.names.size()), tree(skeleton_in), bone_of(n) {
  result.sides.assign(n, Side::Centre);
}

void apply_map_file(State& st) {
  if (st.request.map.empty()) return;
  std::map<std::string, std::string> mapped;  // bone -> the map's joint for it
  for (const auto& [joint_name, bone_name] : st.request.map) {
    const std::string bone = mapped_bone(st, joint_name, bone_name);
    const int joint = joint_named(st, joint_name);
    if (!bone.empty() && !mapped.emplace(bone, joint_name).second) {
      throw Error(st.request.map_name + ": joints \"" + shown_name(mapped[bone]) + "\" and \"" +
                  shown_name(joint_name) + "\" are both mapped to \"" + bone + "\"");
    }
    for (auto& assigned : st.bone_of) {
      if (assigned && assigned->bone == bone) assigned.reset();
    }
    st.bone_of[static_cast<std::size_t>(joint)].reset();
    if (!bone.empty()) st.assign(joint, bone, Evidence::MapFile);
    const Side side = side_of_name(bone);
    if (side != Side::Centre) st.result.sides[static_cast<std::size_t>(joint)] = side;
  }
  // What the map completes is judged again on the bones alone.
  std::vector<std::string> still;
  if (!has_bone(st, "Hips") || !has_bone(st, "Head")) still.emplace_back("no spine leading to a head");
  bool legs = true;
  for (const char* side : {"Left", "Right"}) {
    for (const char* part : {"UpLeg", "Leg", "Foot"}) legs = legs && has_bone(st, std::string(side) + part);
  }
  if (!legs) still.emplace_back("fewer than two legs with a thigh, shin and foot");
  st.result.failure = joined(still);
}

bool take_source_names(State& st) {
  // A file whose joints are (three in four at least) named as source bones is taken as the source
  // skeleton however partial (a clip of a few bones); its size and up are not guessed then.
  const std::size_t n = st.n;
  std::size_t named_as_source = 0;
  for (std::size_t j = 0; j < n; ++j) named_as_source += source_bone_named(st.skeleton.names[j]) != nullptr;
  if (st.result.failure.empty() || n == 0 || !st.request.map.empty() || 4 * named_as_source < 3 * n) return false;
  SkeletonRecognition& result = st.result;
  result.failure.clear();
  st.bone_of.assign(n, std::nullopt);
  std::vector<const std::string*> used;
  for (std::size_t j = 0; j < n; ++j) {
    const std::string* bone = source_bone_named(st.skeleton.names[j]);
    if (bone == nullptr || std::find(used.begin(), used.end(), bone) != used.end()) continue;
    used.push_back(bone);
    st.assign(static_cast<int>(j), *bone, Evidence::Name);
    result.sides[j] = side_of_name(*bone);
  }
  result.side_evidence = "names";
  result.up_rotation = {0, 0, 0, 1};
  result.up_axis = "+Y";
  result.up_evidence = "taken as +Y (a partial skeleton of source bones)";
  result.zero_pose_stands = true;
  result.metres_per_unit = st.request.metres_per_unit.value_or(0.01);
  result.unit_name = st.request.metres_per_unit ? "given" : "cm";
  result.warnings.clear();
  return true;
}

void find_units(State& st) {
  // The unit among cm, m, mm and in that makes the figure stand 1.2 m to 2.3 m tall.
  SkeletonRecognition& result = st.result;
  double low = 1e300, high = -1e300;
  for (const Vec3& p : st.upright) {
    low = std::min(low, p[1]);
    high = std::max(high, p[1]);
  }
  result.height_units = st.n > 0 && high > low ? high - low : 0;
  if (st.request.metres_per_unit) {
    result.metres_per_unit = *st.request.metres_per_unit;
    result.unit_name = "given";
    return;
  }
  static const std::pair<const char*, double> kUnits[] = {{"cm", 0.01}, {"m", 1.0}, {"mm", 0.001}, {"in", 0.0254}};
  for (const auto& [name, metres] : kUnits) {
    const double height = result.height_units * metres;
    if (height >= 1.2 && height <= 2.3) {
      result.metres_per_unit = metres;
      result.unit_name = name;
      return;
    }
  }
  if (result.height_units <= 0) return;
  result.metres_per_unit = kMannequinHeight / result.height_units;
  result.unit_name = "fitted";
  char text[256];
  std::snprintf(text, sizeof text,
                "its height (%.4g file units) is 1.2 m to 2.3 m in none of cm, m, mm, in; scaled to the "
                "mannequin's %.2f m (1 unit = %.4g cm)",
                result.height_units, kMannequinHeight, result.metres_per_unit * 100);
  result.warnings.emplace_back(text, OptionHint{"choose with", "source-units", ""});
}

}  // namespace recognition

using recognition::lower;

const char* evidence_text(Evidence evidence) {
  switch (evidence) {
    case Evidence::Name:
      return "name";
    case Evidence::NameAndStructure:
      return "name and structure";
    case Evidence::Structure:
      return "structure";
    case Evidence::MapFile:
      return "map file";
  }
  return "name";
}

std::optional<double> source_units_from_text(std::string_view text) {
  const std::string t = lower(text);
  if (t == "auto") return std::nullopt;
  if (t == "cm") return 0.01;
  if (t == "m") return 1.0;
  if (t == "mm") return 0.001;
  if (t == "in") return 0.0254;
  double value = 0;
  const auto [ptr, ec] = std::from_chars(t.data(), t.data() + t.size(), value);
  // A unit from a micrometre to ten kilometres.
  if (ec == std::errc() && ptr == t.data() + t.size() && value >= 1e-4 && value <= 1e6) return value / 100;
  throw UsageError(": expected auto, cm, m, mm, in or a number of centimetres per file unit from 1e-4 to 1e6")
      .of_option("source-units", std::string(text));
}

std::string source_up_from_text(std::string_view text) {
  std::string t = lower(text);
  for (const char* axis : {"auto", "+y", "+z", "-y", "-z", "+x", "-x"}) {
    if (t == axis) return t;
  }
  throw UsageError(": expected auto, +y, +z, -y, -z, +x or -x").of_option("source-up", std::string(text));
}

SkeletonRecognition recognise_skeleton(const SkeletonDescription& skeleton, const RecognitionRequest& request) {
  using namespace recognition;
  State state(skeleton, request);
  read_names(state);
  read_structure(state);
  find_spine_and_head(state);
  find_limbs(state);
  find_up_axis(state);
  decide_sides(state);
  state.result.failure = joined(state.missing);
  apply_map_file(state);
  if (take_source_names(state)) {
    check_order(state);
    collect_pairs(state);
    return state.result;
  }
  check_order(state);
  collect_pairs(state);
  find_units(state);
  return state.result;
}

}  // namespace oxr
