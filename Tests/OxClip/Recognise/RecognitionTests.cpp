// Skeleton recognition through the pipeline: the same motion written in other naming conventions,
// spines and units gives the same target; captures of other systems stand; non-humans are refused;
// a map file corrects what recognition cannot know.
#include "DemoClip.h"
#include "Errors.h"
#include "Options.h"
#include "Recognition.h"
#include "Retarget.h"
#include "ToolError.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

using oxr::Quat;
using oxr::Vec3;
namespace bvh = oxr::bvh;

constexpr double kTolerance = 1e-9;
const std::string kData = OX_TEST_DATA_DIR;

std::string read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string demo_text() {
  std::ostringstream out;
  oxr::write_demo_clip(out);
  return out.str();
}

// A clip as data, to rename, reshape and write back.
struct Clip {
  bvh::Header header;
  std::vector<std::vector<double>> frames;
};

Clip parse(const std::string& text) {
  std::istringstream in(text);
  bvh::Reader reader(in);
  Clip clip{reader.header(), {}};
  std::vector<double> values(static_cast<std::size_t>(clip.header.channel_count));
  while (reader.read_frame(values)) clip.frames.push_back(values);
  return clip;
}

std::string write(const Clip& clip) {
  std::string text = "HIERARCHY\n";
  char number[32];
  const auto vec = [&](const std::array<double, 3>& v) {
    std::string out;
    for (const double x : v) {
      std::snprintf(number, sizeof number, " %.17g", x);
      out += number;
    }
    return out;
  };
  const std::function<void(int, int)> joint = [&](int j, int depth) {
    const bvh::Joint& at = clip.header.joints[static_cast<std::size_t>(j)];
    const std::string pad(static_cast<std::size_t>(depth), ' ');
    text += pad + (at.parent < 0 ? "ROOT " : "JOINT ") + at.name + "\n" + pad + "{\n" + pad + " OFFSET" +
            vec(at.offset) + "\n";
    text += pad + " CHANNELS " + std::to_string(at.channels.size());
    for (const bvh::Channel c : at.channels) text += " " + std::string(bvh::channel_name(c));
    text += "\n";
    for (std::size_t k = 0; k < clip.header.joints.size(); ++k) {
      if (clip.header.joints[k].parent == j) joint(static_cast<int>(k), depth + 1);
    }
    for (const auto& end : at.end_sites)
      text += pad + " End Site\n" + pad + " {\n" + pad + "  OFFSET" + vec(end) + "\n" + pad + " }\n";
    text += pad + "}\n";
  };
  joint(0, 0);
  text += "MOTION\nFrames: " + std::to_string(clip.frames.size()) + "\nFrame Time: 0.0333333\n";
  for (const auto& frame : clip.frames) {
    std::string line;
    for (const double v : frame) {
      std::snprintf(number, sizeof number, "%.17g ", v);
      line += number;
    }
    text += line + "\n";
  }
  return text;
}

int find_joint(const Clip& clip, const std::string& name) {
  for (std::size_t j = 0; j < clip.header.joints.size(); ++j) {
    if (clip.header.joints[j].name == name) return static_cast<int>(j);
  }
  return -1;
}

// Inserts a joint without channels between `parent` and its child `child`, at the parent's place.
void insert_joint(Clip& clip, const std::string& parent, const std::string& child, const std::string& name) {
  const int p = find_joint(clip, parent);
  const int c = find_joint(clip, child);
  bvh::Joint added;
  added.name = name;
  added.parent = p;
  auto& joints = clip.header.joints;
  joints.insert(joints.begin() + c, added);
  for (std::size_t j = static_cast<std::size_t>(c) + 1; j < joints.size(); ++j) {
    if (joints[j].parent >= c) ++joints[j].parent;
  }
  joints[static_cast<std::size_t>(c) + 1].parent = c;
}

// Removes a joint and its channels; its children hang from its parent with the offsets added.
void remove_joint(Clip& clip, const std::string& name) {
  const int r = find_joint(clip, name);
  auto& joints = clip.header.joints;
  const bvh::Joint gone = joints[static_cast<std::size_t>(r)];
  std::vector<std::size_t> columns;
  for (std::size_t k = 0; k < gone.channels.size(); ++k)
    columns.push_back(static_cast<std::size_t>(gone.first_channel) + k);
  for (auto& frame : clip.frames) {
    for (auto it = columns.rbegin(); it != columns.rend(); ++it)
      frame.erase(frame.begin() + static_cast<std::ptrdiff_t>(*it));
  }
  for (bvh::Joint& joint : joints) {
    if (joint.parent == r) {
      joint.parent = gone.parent;
      for (int a = 0; a < 3; ++a) joint.offset[static_cast<std::size_t>(a)] += gone.offset[static_cast<std::size_t>(a)];
    }
    if (joint.first_channel > gone.first_channel) joint.first_channel -= static_cast<int>(gone.channels.size());
  }
  joints.erase(joints.begin() + r);
  for (bvh::Joint& joint : joints) {
    if (joint.parent > r) --joint.parent;
  }
}

// Sets a joint's rotation channels to zero in every frame.
void still(Clip& clip, const std::string& name) {
  const bvh::Joint& joint = clip.header.joints[static_cast<std::size_t>(find_joint(clip, name))];
  for (auto& frame : clip.frames) {
    for (std::size_t k = 0; k < joint.channels.size(); ++k)
      frame[static_cast<std::size_t>(joint.first_channel) + k] = 0;
  }
}

struct Solved {
  std::vector<std::vector<Quat>> meta;   // per frame, pairing order
  std::vector<std::vector<Vec3>> world;  // target joints, metres (frame 0 and every 10th)
  oxr::ClipInfo info;
  oxr::FileResult result;
};

Solved solve(const std::string& text, oxr::RetargetOptions options = {}) {
  oxr::Solver solver;
  std::istringstream in(text);
  Solved solved;
  std::vector<Vec3> world;
  solved.result = oxr::retarget_stream(
      in, "clip.bvh", options, solver, [&](const oxr::ClipInfo& info) { solved.info = info; },
      [&](std::int64_t frame, const oxr::FramePose& pose) {
        solved.meta.emplace_back(pose.meta.begin(), pose.meta.end());
        oxr::target_world_positions(solved.info.skeleton, pose, world);
        for (Vec3& p : world) p = oxr::scale_vector(p, oxr::metres_per_unit(options.units));
        if (frame % 10 == 0) solved.world.push_back(world);
      });
  return solved;
}

// ---- One motion, many conventions ------------------------------------------------------------

using Namer = std::function<std::string(const std::string& side, const std::string& part, const std::string& kz)>;

struct Convention {
  const char* label;
  Namer name;  // a new name for a KZ bone (side "Left"/"Right"/"", part without the side); "" keeps it
};

std::string side_letter(const std::string& side, bool upper) {
  return side.empty() ? "" : std::string(1, upper ? side[0] : static_cast<char>(std::tolower(side[0])));
}

std::string finger_of(const std::string& part, int& phalanx) {
  for (const char* f : {"Thumb", "Index", "Middle", "Ring", "Pinky"}) {
    if (part.starts_with(std::string("Hand") + f)) {
      phalanx = part.back() - '0';
      return f;
    }
  }
  return "";
}

const Convention kConventions[] = {
    {"NamespaceLowerCase",
     [](const std::string&, const std::string&, const std::string& kz) {
       std::string lower = kz;
       for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
       return "rig:" + lower;
     }},
    {"BipedWithSpaces",
     [](const std::string& side, const std::string& part, const std::string&) -> std::string {
       static const std::map<std::string, std::string> parts = {
           {"Hips", "Pelvis"}, {"Shoulder", "Clavicle"}, {"Arm", "UpperArm"}, {"ForeArm", "Forearm"},
           {"UpLeg", "Thigh"}, {"Leg", "Calf"},          {"ToeBase", "Toe0"}};
       int phalanx = 0;
       const std::string finger = finger_of(part, phalanx);
       static const char* const kFinger[] = {"Thumb", "Index", "Middle", "Ring", "Pinky"};
       std::string name = part;
       if (!finger.empty()) {
         const int index =
             static_cast<int>(std::find(std::begin(kFinger), std::end(kFinger), finger) - std::begin(kFinger));
         name = "Finger" + std::to_string(index) + (phalanx > 1 ? std::to_string(phalanx - 1) : "");
       } else if (parts.count(part)) {
         name = parts.at(part);
       }
       return "Bip01 " + (side.empty() ? "" : side_letter(side, true) + " ") + name;
     }},
    {"SmplLowerCase",
     [](const std::string& side, const std::string& part, const std::string&) -> std::string {
       static const std::map<std::string, std::string> parts = {
           {"Hips", "pelvis"}, {"Spine", "spine1"},    {"Spine1", "spine2"}, {"Spine2", "spine3"}, {"Neck", "neck"},
           {"Head", "head"},   {"Shoulder", "collar"}, {"Arm", "shoulder"},  {"ForeArm", "elbow"}, {"Hand", "wrist"},
           {"UpLeg", "hip"},   {"Leg", "knee"},        {"Foot", "ankle"},    {"ToeBase", "foot"}};
       int phalanx = 0;
       std::string finger = finger_of(part, phalanx);
       std::string name;
       if (!finger.empty()) {
         for (char& c : finger) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
         name = finger + std::to_string(phalanx);
       } else if (parts.count(part)) {
         name = parts.at(part);
       } else {
         return "";
       }
       return (side == "Left" ? "left_" : side == "Right" ? "right_" : "") + name;
     }},
    {"XsensBiovision",
     [](const std::string& side, const std::string& part, const std::string&) -> std::string {
       static const std::map<std::string, std::string> parts = {
           {"Spine", "Chest"},  {"Spine1", "Chest2"}, {"Spine2", "Chest3"}, {"Shoulder", "Collar"},
           {"Arm", "Shoulder"}, {"ForeArm", "Elbow"}, {"Hand", "Wrist"},    {"UpLeg", "Hip"},
           {"Leg", "Knee"},     {"Foot", "Ankle"},    {"ToeBase", "Toe"}};
       return parts.count(part) ? side + parts.at(part) : "";
     }},
    {"OptiTrackLetters",
     [](const std::string& side, const std::string& part, const std::string&) -> std::string {
       static const std::map<std::string, std::string> parts = {
           {"Hips", "Hip"},     {"Spine", "Ab"},    {"Spine1", "Chest"}, {"Spine2", "UpperChest"}, {"Arm", "UArm"},
           {"ForeArm", "FArm"}, {"UpLeg", "Thigh"}, {"Leg", "Shin"},     {"ToeBase", "Toe"}};
       return parts.count(part)
                  ? side_letter(side, true) + parts.at(part)
                  : (part == "Shoulder" || part == "Hand" || part == "Foot" ? side_letter(side, true) + part : "");
     }},
    {"UnityFingersProximal",
     [](const std::string& side, const std::string& part, const std::string&) -> std::string {
       static const std::map<std::string, std::string> parts = {
           {"Spine1", "Chest"},   {"Spine2", "UpperChest"}, {"Arm", "UpperArm"}, {"ForeArm", "LowerArm"},
           {"UpLeg", "UpperLeg"}, {"Leg", "LowerLeg"},      {"ToeBase", "Toes"}};
       int phalanx = 0;
       std::string finger = finger_of(part, phalanx);
       if (!finger.empty()) {
         static const char* const kPhalanx[] = {"Proximal", "Intermediate", "Distal", "Tip"};
         return side + (finger == "Pinky" ? "Little" : finger) + kPhalanx[phalanx - 1];
       }
       return parts.count(part) ? side + parts.at(part) : "";
     }},
    {"SuffixStyle",
     [](const std::string& side, const std::string& part, const std::string&) -> std::string {
       static const std::map<std::string, std::string> parts = {
           {"Spine1", "Chest"},   {"Spine2", "UpperChest"}, {"Arm", "UpperArm"}, {"ForeArm", "LowerArm"},
           {"UpLeg", "UpperLeg"}, {"Leg", "LowerLeg"},      {"ToeBase", "Toes"}, {"Shoulder", "Shoulder"},
           {"Hand", "Hand"},      {"Foot", "Foot"}};
       return parts.count(part) && !side.empty() ? parts.at(part) + "_" + side_letter(side, true)
              : parts.count(part)                ? parts.at(part)
                                                 : "";
     }},
    {"DazPoser",
     [](const std::string& side, const std::string& part, const std::string&) -> std::string {
       static const std::map<std::string, std::string> parts = {
           {"Hips", "hip"},        {"Spine", "abdomen"}, {"Spine1", "abdomenUpper"}, {"Spine2", "chest"},
           {"Neck", "neck"},       {"Head", "head"},     {"Shoulder", "Collar"},     {"Arm", "Shldr"},
           {"ForeArm", "ForeArm"}, {"Hand", "Hand"},     {"UpLeg", "Thigh"},         {"Leg", "Shin"},
           {"Foot", "Foot"},       {"ToeBase", "Toe"}};
       int phalanx = 0;
       const std::string finger = finger_of(part, phalanx);
       if (!finger.empty())
         return side_letter(side, false) + (finger == "Middle" ? "Mid" : finger) + std::to_string(phalanx);
       return parts.count(part) ? side_letter(side, false) + parts.at(part) : "";
     }},
    {"NoSideWords",
     [](const std::string& side, const std::string& part, const std::string&) -> std::string {
       if (side.empty()) return "";
       // Both sides named alike but for a letter that says no side: the rest offsets tell them apart.
       return part + (side == "Left" ? "A" : "B");
     }},
};

// Renames every joint of a clip by a convention; joints outside the KZ skeleton keep their names
// (without their side words when the convention has none).
std::string rewrite(const std::string& text, const Convention& convention) {
  Clip clip = parse(text);
  const bool biped = std::string(convention.label) == "BipedWithSpaces";
  const bool no_sides = std::string(convention.label) == "NoSideWords";
  for (bvh::Joint& joint : clip.header.joints) {
    const std::string& kz = joint.name;
    const std::string side = kz.starts_with("Left") ? "Left" : kz.starts_with("Right") ? "Right" : "";
    const bool is_kz = oxr::side_of_name(kz) != oxr::Side::Centre || kz == "Hips" || kz.starts_with("Spine") ||
                       kz == "Neck" || kz == "Head";
    std::string renamed = is_kz ? convention.name(side, kz.substr(side.size()), kz) : "";
    if (renamed.empty()) renamed = kz;
    if (no_sides && !is_kz && renamed.size() > 1 && (renamed[0] == 'L' || renamed[0] == 'R') &&
        std::isupper(static_cast<unsigned char>(renamed[1])))
      renamed = renamed.substr(1) + (renamed[0] == 'L' ? "A" : "B");
    if (biped && !renamed.starts_with("Bip01 ")) renamed = "Bip01 " + renamed;
    joint.name = renamed;
  }
  return write(clip);
}

struct Case {
  const char* clip;  // "walk" or "demo"
  int convention;    // index into kConventions, or -1 for a spine variant
  int spine = 3;     // joints in the spine (demo only)
};

std::string case_name(const testing::TestParamInfo<Case>& info) {
  const Case& c = info.param;
  return std::string(c.clip) + "_" +
         (c.convention >= 0 ? kConventions[c.convention].label : "Spine" + std::to_string(c.spine));
}

class Conventions : public testing::TestWithParam<Case> {};

// The same motion in another convention gives the same target rotations: bit for bit where the
// hierarchy has the same shape, within 1e-9 where joints were inserted or removed.
TEST_P(Conventions, GiveTheTargetOfTheKzNamedFile) {
  const Case& c = GetParam();
  const std::string original = std::string(c.clip) == "walk" ? read_text(kData + "/cmu_02_01_walk.bvh") : demo_text();
  std::string reference = original;
  std::string variant;
  bool exact = true;
  if (c.convention >= 0) {
    variant = rewrite(original, kConventions[c.convention]);
  } else {
    Clip plain = parse(original);
    Clip changed = plain;
    exact = false;
    if (c.spine == 1) {
      still(plain, "Spine1");
      still(plain, "Spine2");
      reference = write(plain);
      changed = plain;
      remove_joint(changed, "Spine1");
      remove_joint(changed, "Spine2");
    } else if (c.spine == 4) {
      insert_joint(changed, "Spine", "Spine1", "SpineMid");
    } else {
      insert_joint(changed, "Spine", "Spine1", "SpineLow");
      insert_joint(changed, "Spine1", "Spine2", "SpineHigh");
    }
    for (bvh::Joint& joint : changed.header.joints) {
      if (joint.name.starts_with("Spine")) joint.name = "Torso_" + joint.name;  // no source names
    }
    variant = write(changed);
  }
  const Solved expected = solve(reference);
  const Solved actual = solve(variant);
  ASSERT_EQ(actual.meta.size(), expected.meta.size());
  for (std::size_t f = 0; f < expected.meta.size(); ++f) {
    for (std::size_t b = 0; b < expected.meta[f].size(); ++b) {
      for (int k = 0; k < 4; ++k) {
        const double want = expected.meta[f][b][static_cast<std::size_t>(k)];
        const double got = actual.meta[f][b][static_cast<std::size_t>(k)];
        if (exact) {
          ASSERT_EQ(std::memcmp(&want, &got, sizeof want) == 0 || (want == 0 && got == 0), true)
              << "frame " << f << " bone " << expected.info.bones[b];
        } else {
          ASSERT_NEAR(got, want, kTolerance) << "frame " << f << " bone " << expected.info.bones[b];
        }
      }
    }
  }
}

std::vector<Case> all_cases() {
  std::vector<Case> cases;
  for (const char* clip : {"walk", "demo"}) {
    for (int k = 0; k < static_cast<int>(std::size(kConventions)); ++k) cases.push_back({clip, k});
  }
  for (const int spine : {1, 4, 5}) cases.push_back({"demo", -1, spine});
  return cases;
}

INSTANTIATE_TEST_SUITE_P(WalkAndDemo, Conventions, testing::ValuesIn(all_cases()), case_name);

// ---- Captures of other systems ---------------------------------------------------------------

// Each stands 1.4 m to 2.1 m tall in the results, upright (head above pelvis above feet), its feet
// on the ground, with no map.
TEST(Captures, OfOtherSystemsStandUprightOnTheGround) {
  for (const char* file : {"cmu_02_01_walk.bvh", "biovision3dsmax_cmu_jumpingjacks.bvh", "daz_cmu_02_03.bvh",
                           "mayarig_dfki_walk.bvh", "smpl_wham.bvh"}) {
    SCOPED_TRACE(file);
    const Solved solved = solve(read_text(kData + "/" + file));
    const oxr::TargetSkeleton& skeleton = solved.info.skeleton;
    const auto at = [&](const std::vector<Vec3>& world, const char* bone) {
      return world[static_cast<std::size_t>(skeleton.index_of(bone))];
    };
    const std::vector<Vec3>& first = solved.world.front();
    const double height = at(first, "head")[1] - std::min(at(first, "foot_l")[1], at(first, "foot_r")[1]);
    EXPECT_GT(height, 1.4 * 0.85);  // the head joint stands below the top of the head
    EXPECT_LT(height, 2.1);
    double lowest = 1e9;
    for (const std::vector<Vec3>& world : solved.world) {
      EXPECT_GT(at(world, "head")[1], at(world, "pelvis")[1]);
      EXPECT_GT(at(world, "pelvis")[1], at(world, "foot_l")[1]);
      EXPECT_GT(at(world, "pelvis")[1], at(world, "foot_r")[1]);
      for (const char* foot : {"foot_l", "foot_r", "ball_l", "ball_r"}) lowest = std::min(lowest, at(world, foot)[1]);
    }
    EXPECT_NEAR(lowest, 0.0, 0.12);
  }
}

// The same clip written in metres, centimetres, millimetres and inches gives the same glb figure.
TEST(Captures, UnitsAreFoundWhateverTheFileUses) {
  Clip clip = parse(demo_text());
  const Solved reference = solve(write(clip));
  for (const double per_cm : {0.01, 10.0, 1 / 2.54}) {
    Clip scaled = clip;
    for (bvh::Joint& joint : scaled.header.joints) {
      for (double& v : joint.offset) v *= per_cm;
      for (auto& end : joint.end_sites)
        for (double& v : end) v *= per_cm;
      for (std::size_t k = 0; k < joint.channels.size(); ++k) {
        if (joint.channels[k] <= bvh::Channel::Zposition) {
          for (auto& frame : scaled.frames) frame[static_cast<std::size_t>(joint.first_channel) + k] *= per_cm;
        }
      }
    }
    const Solved solved = solve(write(scaled));
    for (std::size_t f = 0; f < reference.world.size(); ++f) {
      for (std::size_t j = 0; j < reference.world[f].size(); ++j) {
        for (int a = 0; a < 3; ++a) {
          const double want = reference.world[f][j][static_cast<std::size_t>(a)];
          EXPECT_NEAR(solved.world[f][j][static_cast<std::size_t>(a)], want, 1e-6 * std::max(1.0, std::abs(want)));
        }
      }
    }
  }
}

// ---- Not a human, and the map file ------------------------------------------------------------

std::string chain_file(const std::vector<std::pair<std::string, std::string>>& joints) {
  // joints: (name, parent name) with an offset along the parent's direction encoded in the name table below.
  std::string text = "HIERARCHY\n";
  std::map<std::string, std::vector<std::string>> children;
  for (const auto& [name, parent] : joints) children[parent].push_back(name);
  std::map<std::string, std::array<double, 3>> offsets;
  const std::function<void(const std::string&, std::array<double, 3>)> put = [&](const std::string& name,
                                                                                 std::array<double, 3> offset) {
    text += (offsets.empty() ? "ROOT " : "JOINT ") + name + "\n{\nOFFSET " + std::to_string(offset[0]) + " " +
            std::to_string(offset[1]) + " " + std::to_string(offset[2]) +
            "\nCHANNELS 3 Zrotation Xrotation Yrotation\n";
    offsets[name] = offset;
    for (const std::string& child : children[name]) {
      std::array<double, 3> o{0, 0, 0};
      const auto has = [&](const char* word) { return child.find(word) != std::string::npos; };
      const double side = has("Left") ? 1 : has("Right") ? -1 : 0;
      if (has("Hip") || has("Shoulder")) o = {12 * side, 0, 0};
      if (has("Thigh") || has("Shin") || has("Foot")) o = {0, -40, 0};
      if (has("Toe")) o = {0, -5, 12};
      if (has("Spine") || has("Neck") || has("Head") || has("Segment")) o = {0, 0, 0}, o[has("Quad") ? 2 : 1] = 20;
      if (has("Arm")) o = {25 * side, 0, 0};
      put(child, o);
    }
    if (children[name].empty()) text += "End Site\n{\nOFFSET 0 5 0\n}\n";
    text += "}\n";
  };
  put(joints.front().first, {0, 100, 0});
  std::string values;
  for (std::size_t k = 0; k < joints.size() * 3; ++k) values += "0 ";
  return text + "MOTION\nFrames: 2\nFrame Time: 0.0333333\n" + values + "\n" + values + "\n";
}

TEST(NotAHuman, QuadrupedAndSnakeAreRefusedTheRobotRetargetsItsLegs) {
  std::vector<std::pair<std::string, std::string>> quadruped = {{"Pelvis", ""},
                                                                {"QuadSpine", "Pelvis"},
                                                                {"QuadSpine2", "QuadSpine"},
                                                                {"QuadNeck", "QuadSpine2"},
                                                                {"QuadHead", "QuadNeck"}};
  for (const char* leg : {"BackLeft", "BackRight"}) {
    quadruped.push_back({std::string(leg) + "Thigh", "Pelvis"});
    quadruped.push_back({std::string(leg) + "Shin", std::string(leg) + "Thigh"});
    quadruped.push_back({std::string(leg) + "Foot", std::string(leg) + "Shin"});
  }
  for (const char* leg : {"FrontLeft", "FrontRight"}) {
    quadruped.push_back({std::string(leg) + "Thigh", "QuadSpine2"});
    quadruped.push_back({std::string(leg) + "Shin", std::string(leg) + "Thigh"});
    quadruped.push_back({std::string(leg) + "Foot", std::string(leg) + "Shin"});
  }
  std::vector<std::pair<std::string, std::string>> snake = {{"Segment0", ""}};
  for (int k = 1; k < 12; ++k) snake.push_back({"Segment" + std::to_string(k), "Segment" + std::to_string(k - 1)});
  for (const auto& [label, joints] : {std::pair{"quadruped", quadruped}, std::pair{"snake", snake}}) {
    SCOPED_TRACE(label);
    try {
      solve(chain_file(joints));
      ADD_FAILURE() << "accepted";
    } catch (const oxr::ToolError& error) {
      const std::string what = error.what();
      EXPECT_EQ(what.rfind("clip.bvh: not recognised as a human skeleton: ", 0), 0u) << what;
      // The hint names the option by its name in the table; each front end spells it.
      EXPECT_EQ(error.hint().option, "map");
      EXPECT_NE(what.find("; name its joints with map=FILE"), std::string::npos) << what;
      EXPECT_EQ(what.find('\n'), std::string::npos);
    }
  }
  // Two legs, a spine and a head, no arms: the legs are retargeted, the arms' targets keep the T-pose.
  std::vector<std::pair<std::string, std::string>> robot = {
      {"Pelvis", ""}, {"Spine", "Pelvis"}, {"Neck", "Spine"}, {"Head", "Neck"}};
  for (const char* side : {"Left", "Right"}) {
    robot.push_back({std::string(side) + "Thigh", "Pelvis"});
    robot.push_back({std::string(side) + "Shin", std::string(side) + "Thigh"});
    robot.push_back({std::string(side) + "Foot", std::string(side) + "Shin"});
  }
  const Solved solved = solve(chain_file(robot));
  EXPECT_EQ(solved.meta.size(), 2u);
  EXPECT_TRUE(std::find(solved.info.missing_paired.begin(), solved.info.missing_paired.end(), "LeftArm") !=
              solved.info.missing_paired.end());
  EXPECT_TRUE(std::find(solved.info.missing_paired.begin(), solved.info.missing_paired.end(), "LeftUpLeg") ==
              solved.info.missing_paired.end());
}

TEST(MapFile, FixesASwappedPairAndRefusesWhatDoesNotFit) {
  // The demo with its forearms' names swapped: a map file puts them right again.
  std::string swapped = demo_text();
  const auto rename = [&](const std::string& from, const std::string& to) {
    swapped.replace(swapped.find("JOINT " + from + "\n"), from.size() + 7, "JOINT " + to + "\n");
  };
  rename("LeftForeArm", "Tmp");
  rename("RightForeArm", "LeftForeArm");
  rename("Tmp", "RightForeArm");
  const std::string map_path = testing::TempDir() + "recognition-map.json";
  std::ofstream(map_path) << R"({"LeftForeArm": "RightForeArm", "RightForeArm": "LeftForeArm"})";
  oxr::RetargetOptions options;
  oxr::apply_option(options, "map", map_path);
  const Solved fixed = solve(swapped, options);
  const Solved plain = solve(demo_text());
  ASSERT_EQ(fixed.meta.size(), plain.meta.size());
  for (std::size_t f = 0; f < plain.meta.size(); f += 30) {
    for (std::size_t b = 0; b < plain.meta[f].size(); ++b) EXPECT_EQ(fixed.meta[f][b], plain.meta[f][b]);
  }

  std::ofstream(map_path) << R"({"LeftForeArm": "LeftElbowBone"})";
  oxr::apply_option(options, "map", map_path);
  try {
    solve(demo_text(), options);
    ADD_FAILURE() << "accepted";
  } catch (const oxr::ToolError& error) {
    EXPECT_NE(std::string(error.what()).find("\"LeftElbowBone\" (for joint \"LeftForeArm\") is not a source bone"),
              std::string::npos)
        << error.what();
  }
  std::ofstream(map_path) << R"({"NoSuchJoint": "LeftForeArm"})";
  oxr::apply_option(options, "map", map_path);
  EXPECT_THROW(solve(demo_text(), options), oxr::ToolError);
  std::ofstream(map_path) << R"(["not", "an", "object"])";
  EXPECT_THROW(oxr::apply_option(options, "map", map_path), oxr::UsageError);
}

}  // namespace
