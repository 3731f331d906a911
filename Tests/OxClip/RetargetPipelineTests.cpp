#include "DemoClip.h"
#include "Retarget.h"
#include "Solver.h"
#include "ToolError.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <numbers>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr double kTolerance = 1e-9;

// Names-only matching (the Python solver's); files go through recognition.
std::vector<std::string> header_with(const std::vector<std::string>& names) { return names; }

std::vector<std::string> matched_bones(const oxr::JointMatch& match) {
  std::vector<std::string> bones;
  for (const auto& pair : match.matched) bones.push_back(pair.bone);
  return bones;
}

bool contains(const std::vector<std::string>& list, const std::string& item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}

TEST(MatchJoints, StripsNamespacesAndIgnoresCase) {
  const auto match = oxr::match_joints(header_with({"rig:Hips", "SPINE", "a:b:leftarm", "LHipJoint"}));
  ASSERT_EQ(match.matched.size(), 3u);
  EXPECT_EQ(match.matched[0].joint, 0);
  EXPECT_EQ(match.matched[1].joint, 1);
  EXPECT_EQ(match.matched[2].joint, 2);
  // Matched bones are spelled as the skeleton spells them.
  EXPECT_EQ(matched_bones(match), (std::vector<std::string>{"Hips", "Spine", "LeftArm"}));
  EXPECT_EQ(match.skipped, std::vector<std::string>{"LHipJoint"});
}

TEST(MatchJoints, SecondJointNamingTheSameBoneIsSkipped) {
  const auto match = oxr::match_joints(header_with({"rig:Hips", "other:hips", "Spine", "x:Spine"}));
  EXPECT_EQ(matched_bones(match), (std::vector<std::string>{"Hips", "Spine"}));
  EXPECT_EQ(match.matched[1].joint, 2);
  EXPECT_EQ(match.skipped, (std::vector<std::string>{"other:hips", "x:Spine"}));
}

TEST(MatchJoints, MissingListsEveryOtherSourceBoneInSkeletonOrder) {
  const std::vector<std::string>& bones = oxr::source_bone_names();
  ASSERT_EQ(bones.size(), 67u);

  const auto none = oxr::match_joints(header_with({}));
  EXPECT_TRUE(none.matched.empty());
  EXPECT_EQ(none.missing, bones);

  const auto some = oxr::match_joints(header_with({"LeftHandIndex1", "Hips", "Bogus"}));
  ASSERT_EQ(some.missing.size(), 65u);
  EXPECT_FALSE(contains(some.missing, "Hips"));
  EXPECT_FALSE(contains(some.missing, "LeftHandIndex1"));
  std::vector<std::string> expected;
  for (const std::string& bone : bones) {
    if (bone != "Hips" && bone != "LeftHandIndex1") expected.push_back(bone);
  }
  EXPECT_EQ(some.missing, expected);
  EXPECT_EQ(some.skipped, std::vector<std::string>{"Bogus"});
}

// A chain from the root to the left arm, every joint with Z X Y rotation channels, one frame.
std::string arm_chain_clip(const std::string& values) {
  std::string text = "HIERARCHY\n";
  const char* chain[] = {"Hips", "Spine", "Spine1", "Spine2", "LeftShoulder", "LeftArm"};
  for (int i = 0; i < 6; ++i) {
    text += std::string(i == 0 ? "ROOT " : "JOINT ") + chain[i] + "\n{\nOFFSET 0 1 0\n";
    text += "CHANNELS 3 Zrotation Xrotation Yrotation\n";
  }
  text += "End Site\n{\nOFFSET 1 0 0\n}\n";
  for (int i = 0; i < 6; ++i) text += "}\n";
  return text + "MOTION\nFrames: 1\nFrame Time: 0.033333\n" + values + "\n";
}

// Values for the chain: Hips Y, LeftArm Z in degrees, everything else zero.
std::string chain_values(double hips_y, double left_arm_z) {
  std::ostringstream out;
  out << "0 0 " << hips_y << " 0 0 0 0 0 0 0 0 0 0 0 0 " << left_arm_z << " 0 0";
  return out.str();
}

struct Solved {
  std::vector<oxr::Quat> frame;  // the last frame, meta-bone order
  oxr::ClipInfo info;
};

Solved solve(oxr::Solver& retargeter, const std::string& text, oxr::RetargetOptions options = {}) {
  std::istringstream in(text);
  Solved solved;
  const auto result = oxr::retarget_stream(
      in, "clip.bvh", options, retargeter, [&](const oxr::ClipInfo& info) { solved.info = info; },
      [&](std::int64_t, const oxr::FramePose& pose) { solved.frame.assign(pose.meta.begin(), pose.meta.end()); });
  EXPECT_EQ(result.frames, 1);
  return solved;
}

// World-space change of a target bone from its T-pose, W_new * conj(W_tpose), library axes: the
// solved local rotations composed down the target skeleton (bones without a result at their T-pose).
oxr::Quat world_change(const oxr::Solver& retargeter, const char* bone) {
  const oxr::SkeletonData& target = oxr::target_skeleton();
  std::vector<oxr::Quat> world(target.names.size());
  for (std::size_t b = 0; b < target.names.size(); ++b) {
    const oxr::Quat local = retargeter.meta_pose(target.names[b]);
    world[b] = target.parents[b] < 0 ? local : oxr::mul(world[static_cast<std::size_t>(target.parents[b])], local);
  }
  const auto b = static_cast<std::size_t>(target.index_of(bone));
  return oxr::mul(world[b], oxr::conj(target.t_pose_world[b]));
}

void expect_vector_near(const oxr::Vec3& actual, const oxr::Vec3& expected) {
  EXPECT_NEAR(actual[0], expected[0], kTolerance);
  EXPECT_NEAR(actual[1], expected[1], kTolerance);
  EXPECT_NEAR(actual[2], expected[2], kTolerance);
}

class AxisRules : public ::testing::Test {
 protected:
  oxr::Solver retargeter;
};

// The file turns its character from facing +Z toward +X, its left. In the library the character
// faces -X with its left at +Y, so its forward must swing toward +Y about the vertical.
TEST_F(AxisRules, TurnAboutTheVerticalKeepsItsSense) {
  solve(retargeter, arm_chain_clip(chain_values(30, 0)));
  const oxr::Quat change = world_change(retargeter, "pelvis");

  const double half = 15.0 * std::numbers::pi / 180.0;
  const double sign = change[3] < 0 ? -1.0 : 1.0;
  EXPECT_NEAR(sign * change[3], std::cos(half), kTolerance);
  // A pure turn about the vertical: the axis is +Z; with the library's rotation formula the angle
  // that swings -X toward +Y is negative.
  EXPECT_NEAR(sign * change[0], 0.0, kTolerance);
  EXPECT_NEAR(sign * change[1], 0.0, kTolerance);
  EXPECT_NEAR(sign * change[2], -std::sin(half), kTolerance);

  const double angle = 30.0 * std::numbers::pi / 180.0;
  expect_vector_near(oxr::rotate(change, {-1, 0, 0}), oxr::Vec3{-std::cos(angle), std::sin(angle), 0});
  expect_vector_near(oxr::rotate(change, oxr::Vec3{0, 0, 1}), oxr::Vec3{0, 0, 1});
}

// Raising the left arm from sideways (file +X) to overhead (file +Y): in the library the arm's
// direction goes from the character's left (+Y) to up (+Z).
TEST_F(AxisRules, RaisingTheLeftArmPointsItUp) {
  // The chain's shoulder points up, so it is no canonical T-pose: its zero pose is the rest asked for.
  oxr::RetargetOptions options;
  options.source_rest.mode = oxr::SourceRest::Mode::Zero;
  solve(retargeter, arm_chain_clip(chain_values(0, 90)), options);
  const oxr::Quat change = world_change(retargeter, "upperarm_l");
  expect_vector_near(oxr::rotate(change, oxr::Vec3{0, 1, 0}), oxr::Vec3{0, 0, 1});
  // The pelvis stays put.
  const oxr::Quat pelvis = world_change(retargeter, "pelvis");
  EXPECT_NEAR(std::abs(pelvis[3]), 1.0, kTolerance);
}

TEST_F(AxisRules, AxesNonePassesRotationsThrough) {
  // A library-frame turn about +Z fed unconverted must come out as that same world change.
  oxr::RetargetOptions options;
  options.axes = oxr::Axes::None;
  // Hips' Yrotation channel is its third: with no conversion it is a turn about the library's +Y.
  solve(retargeter, arm_chain_clip(chain_values(30, 0)), options);
  const oxr::Quat change = world_change(retargeter, "pelvis");
  const double half = 15.0 * std::numbers::pi / 180.0;
  const double sign = change[3] < 0 ? -1.0 : 1.0;
  EXPECT_NEAR(sign * change[1], std::sin(half), kTolerance);
  EXPECT_NEAR(sign * change[3], std::cos(half), kTolerance);
}

TEST(RetargetStream, DescribesTheClipBeforeTheFirstFrame) {
  oxr::Solver retargeter;
  const Solved solved = solve(retargeter, arm_chain_clip(chain_values(0, 0)));
  const oxr::ClipInfo& info = solved.info;
  EXPECT_EQ(info.source, "clip.bvh");
  EXPECT_EQ(info.frame_count, 1);
  EXPECT_DOUBLE_EQ(info.frame_time, 0.033333);
  EXPECT_EQ(info.axes, "bvh");
  ASSERT_EQ(info.bones.size(), 52u);
  ASSERT_EQ(info.parents.size(), 52u);
  ASSERT_EQ(info.t_pose.size(), 52u);
  ASSERT_EQ(solved.frame.size(), 52u);
  EXPECT_EQ(info.bones[0], "pelvis");
  const auto arm = std::find(info.bones.begin(), info.bones.end(), "upperarm_l") - info.bones.begin();
  ASSERT_LT(arm, 52);
  EXPECT_EQ(info.parents[static_cast<std::size_t>(arm)], "clavicle_l");
}

// A retargeter reused for a second clip must not carry the first clip's pose for bones the second
// clip lacks (batch workers reuse theirs).
TEST(RetargetStream, BonesAbsentFromTheClipStartFromTheTPose) {
  const std::string hips_only =
      "HIERARCHY\nROOT Hips\n{\nOFFSET 0 0 0\nCHANNELS 3 Zrotation Xrotation Yrotation\n"
      "End Site\n{\nOFFSET 0 1 0\n}\n}\nMOTION\nFrames: 1\nFrame Time: 0.1\n0 0 0\n";
  oxr::Solver fresh;
  const Solved expected = solve(fresh, hips_only);

  oxr::Solver reused;
  solve(reused, arm_chain_clip(chain_values(10, 70)));
  const Solved actual = solve(reused, hips_only);
  EXPECT_EQ(actual.frame, expected.frame);
}

TEST(RetargetStream, ErrorsNameTheStreamAndTheLine) {
  std::istringstream in(arm_chain_clip("0 0 0 nan 0 0 0 0 0 0 0 0 0 0 0 0 0 0"));
  oxr::Solver retargeter;
  int frames_seen = 0;
  try {
    oxr::retarget_stream(in, "bad.bvh", {}, retargeter, {}, [&](std::int64_t, const auto&) { ++frames_seen; });
    FAIL() << "expected a ToolError";
  } catch (const oxr::ToolError& error) {
    const std::string message = error.what();
    EXPECT_EQ(message.rfind("bad.bvh: line 39: ", 0), 0u) << message;
    EXPECT_NE(message.find("'nan'"), std::string::npos) << message;
  }
  EXPECT_EQ(frames_seen, 0);
}

// ---------------------------------------------------------------------------------------------
// Dialects: the CMU walk rewritten as other exporters write it must retarget exactly as the plain
// file does (bit for bit), or, where the angles themselves change, put every joint in the same place.

// The plain file split into hierarchy lines and frame rows of value tokens, with each joint's
// channel layout as the reader reports it.
struct Clip {
  std::vector<std::string> hierarchy;  // up to and including "Frame Time:"
  std::vector<std::vector<std::string>> rows;
  oxr::bvh::Header header;
};

Clip plain_walk() {
  Clip clip;
  std::ifstream in(std::string(OX_TEST_DATA_DIR) + "/cmu_02_01_walk.bvh", std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    clip.hierarchy.push_back(line);
    if (line.rfind("Frame Time:", 0) == 0) break;
  }
  while (std::getline(in, line)) {
    std::istringstream words(line);
    clip.rows.emplace_back();
    for (std::string word; words >> word;) clip.rows.back().push_back(word);
  }
  std::ifstream again(std::string(OX_TEST_DATA_DIR) + "/cmu_02_01_walk.bvh", std::ios::binary);
  clip.header = oxr::bvh::Reader(again).header();
  return clip;
}

std::string text_of(const Clip& clip, const char* line_end = "\n") {
  std::string text;
  for (const std::string& line : clip.hierarchy) text += line + line_end;
  for (const auto& row : clip.rows) {
    for (std::size_t i = 0; i < row.size(); ++i) text += (i == 0 ? "" : " ") + row[i];
    text += line_end;
  }
  return text;
}

std::string indent_of(const std::string& line) { return line.substr(0, line.find_first_not_of(" \t")); }

// Every line "End Site" with its three following lines, rewritten by `rewrite` (given the End
// Site's indent and its OFFSET line, returns the new lines; the joint it closes is `owner`).
template <typename Rewrite>
void rewrite_end_sites(Clip& clip, Rewrite rewrite) {
  std::vector<std::string> out;
  std::string owner;
  for (std::size_t i = 0; i < clip.hierarchy.size(); ++i) {
    const std::string& line = clip.hierarchy[i];
    if (line.find("JOINT ") != std::string::npos || line.find("ROOT ") != std::string::npos) {
      owner = line.substr(line.rfind(' ') + 1);
    }
    if (line.find("End Site") == std::string::npos) {
      out.push_back(line);
      continue;
    }
    for (const std::string& replaced : rewrite(indent_of(line), clip.hierarchy[i + 2], owner)) out.push_back(replaced);
    i += 3;
  }
  clip.hierarchy = out;
}

// Degrees of R = R_first R_second R_third for axes given as 0 (X), 1 (Y), 2 (Z), from a rotation
// matrix. A cyclic order (XYZ, YZX, ZXY) has sign +1.
std::array<double, 3> euler_angles(const std::array<std::array<double, 3>, 3>& r, const std::array<int, 3>& order) {
  const auto [i, j, k] = order;
  const double s = (j == (i + 1) % 3) ? 1.0 : -1.0;
  const double degrees = 180.0 / std::numbers::pi;
  const double middle = std::asin(std::clamp(s * r[i][k], -1.0, 1.0));
  return {std::atan2(-s * r[j][k], r[k][k]) * degrees, middle * degrees, std::atan2(-s * r[i][j], r[i][i]) * degrees};
}

using Matrix = std::array<std::array<double, 3>, 3>;

Matrix axis_rotation(int axis, double degrees) {
  const double a = degrees * std::numbers::pi / 180.0;
  const double c = std::cos(a);
  const double s = std::sin(a);
  const int u = (axis + 1) % 3;
  const int v = (axis + 2) % 3;
  Matrix m{};
  m[static_cast<std::size_t>(axis)][static_cast<std::size_t>(axis)] = 1;
  m[static_cast<std::size_t>(u)][static_cast<std::size_t>(u)] = c;
  m[static_cast<std::size_t>(u)][static_cast<std::size_t>(v)] = -s;
  m[static_cast<std::size_t>(v)][static_cast<std::size_t>(u)] = s;
  m[static_cast<std::size_t>(v)][static_cast<std::size_t>(v)] = c;
  return m;
}

Matrix times(const Matrix& a, const Matrix& b) {
  Matrix m{};
  for (std::size_t r = 0; r < 3; ++r)
    for (std::size_t c = 0; c < 3; ++c)
      for (std::size_t k = 0; k < 3; ++k) m[r][c] += a[r][k] * b[k][c];
  return m;
}

struct Dialect {
  const char* name;
  std::string (*write)(Clip clip);
  bool exact;  // false: the angles change, so only joint positions are compared
};

const Dialect kDialects[] = {
    {"RootDeclaredWithJoint",
     [](Clip clip) {
       clip.hierarchy[1] = "JOINT Hips";
       return text_of(clip);
     },
     true},
    {"EndSitesAsJointsNamedSite",
     [](Clip clip) {
       int n = 0;
       rewrite_end_sites(clip, [&](const std::string& indent, const std::string& offset, const std::string&) {
         std::vector<std::string> lines{indent + "JOINT Site", indent + "{", offset};
         if (n++ % 2 == 0) lines.push_back(indent + "\tCHANNELS 0");
         lines.push_back(indent + "}");
         return lines;
       });
       return text_of(clip);
     },
     true},
    // Only the toes' tips reach the ground; other tips change nothing.
    {"LeavesWithoutEndSites",
     [](Clip clip) {
       rewrite_end_sites(clip, [](const std::string& indent, const std::string& offset, const std::string& owner) {
         if (owner.find("Toe") == std::string::npos) return std::vector<std::string>{};
         return std::vector<std::string>{indent + "End Site", indent + "{", offset, indent + "}"};
       });
       return text_of(clip);
     },
     true},
    // x + (-0) is x for every x, so zero positions leave every offset as it was.
    {"PositionChannelsOnEveryJoint",
     [](Clip clip) {
       for (std::string& line : clip.hierarchy) {
         const auto at = line.find("CHANNELS 3 ");
         if (at != std::string::npos) line.replace(at, 11, "CHANNELS 6 Zposition Xposition Yposition ");
       }
       for (auto& row : clip.rows) {
         std::vector<std::string> out(row.begin(), row.begin() + 6);
         for (std::size_t i = 6; i < row.size(); i += 3) {
           out.insert(out.end(), {"-0", "-0", "-0", row[i], row[i + 1], row[i + 2]});
         }
         row = out;
       }
       return text_of(clip);
     },
     true},
    {"ChannelNamesInAnyCase",
     [](Clip clip) {
       const char* spellings[] = {"ZROTATION", "yrotation", "XRotation", "xPOSITION", "YPosition", "zposition"};
       const char* plain[] = {"Zrotation", "Yrotation", "Xrotation", "Xposition", "Yposition", "Zposition"};
       for (std::string& line : clip.hierarchy) {
         for (int c = 0; c < 6; ++c) {
           const auto at = line.find(plain[c]);
           if (at != std::string::npos) line.replace(at, std::strlen(plain[c]), spellings[c]);
         }
       }
       return text_of(clip);
     },
     true},
    {"CrlfTabsAndTrailingBlanks",
     [](Clip clip) {
       for (std::string& line : clip.hierarchy) std::replace(line.begin(), line.end(), ' ', '\t');
       std::string text = text_of(clip, " \t\r\n");
       std::string out;
       for (const char c : text) out += c == ' ' ? std::string(" \t ") : std::string(1, c);
       return out;
     },
     true},
    // 10.4194 becomes 104194e-4: the same decimal, so the same double.
    {"NumbersWithExponents",
     [](Clip clip) {
       int n = 0;
       for (auto& row : clip.rows) {
         for (std::string& word : row) {
           const auto point = word.find('.');
           const std::size_t decimals = point == std::string::npos ? 0 : word.size() - point - 1;
           if (point != std::string::npos) word.erase(point, 1);
           word += (n++ % 2 == 0 ? "e-" : "E-") + std::to_string(decimals);
         }
       }
       return text_of(clip);
     },
     true},
    // Each joint in another of the six orders, its angles recomputed from the same rotation.
    {"AnyRotationOrderPerJoint",
     [](Clip clip) {
       const std::array<int, 3> orders[] = {{0, 1, 2}, {0, 2, 1}, {1, 0, 2}, {1, 2, 0}, {2, 0, 1}, {2, 1, 0}};
       const char* names[] = {"Xrotation", "Yrotation", "Zrotation"};
       std::vector<std::array<int, 3>> chosen;
       int joint = 0;
       for (std::string& line : clip.hierarchy) {
         const auto at = line.find("Zrotation Yrotation Xrotation");
         if (at == std::string::npos) continue;
         const auto& order = orders[joint++ % 6];
         chosen.push_back(order);
         line = line.substr(0, at) + names[order[0]] + " " + names[order[1]] + " " + names[order[2]];
       }
       EXPECT_EQ(chosen.size(), clip.header.joints.size());
       for (auto& row : clip.rows) {
         for (std::size_t j = 0; j < chosen.size(); ++j) {
           const std::size_t first = 3 + 3 * j;  // after the root's three positions
           const Matrix r =
               times(times(axis_rotation(2, std::stod(row[first])), axis_rotation(1, std::stod(row[first + 1]))),
                     axis_rotation(0, std::stod(row[first + 2])));
           const auto angles = euler_angles(r, chosen[j]);
           for (std::size_t a = 0; a < 3; ++a) {
             char text[32];
             std::snprintf(text, sizeof(text), "%.17g", angles[a]);
             row[first + a] = text;
           }
         }
       }
       return text_of(clip);
     },
     false},
};

// Everything the pipeline hands to the writers, frame after frame.
struct PipelineOutput {
  std::vector<double> exact;      // rest offsets, then per frame every span of the pose
  std::vector<oxr::Vec3> places;  // per frame the file's joints and the target's joints, world
};

PipelineOutput run_pipeline(const std::string& text) {
  oxr::Solver retargeter;
  std::istringstream in(text);
  PipelineOutput run;
  oxr::ClipInfo info;
  std::vector<oxr::Vec3> world;
  oxr::retarget_stream(
      in, "walk.bvh", {}, retargeter,
      [&](const oxr::ClipInfo& clip) {
        info = clip;
        for (const oxr::Vec3& offset : clip.skeleton.offsets)
          run.exact.insert(run.exact.end(), offset.begin(), offset.end());
      },
      [&](std::int64_t, const oxr::FramePose& pose) {
        for (const auto& q : pose.meta) run.exact.insert(run.exact.end(), q.begin(), q.end());
        for (const auto& q : pose.rotations) run.exact.insert(run.exact.end(), q.begin(), q.end());
        for (const auto& t : pose.translations) run.exact.insert(run.exact.end(), t.begin(), t.end());
        for (const auto& p : pose.source_positions) run.exact.insert(run.exact.end(), p.begin(), p.end());
        oxr::target_world_positions(info.skeleton, pose, world);
        run.places.insert(run.places.end(), pose.source_positions.begin(), pose.source_positions.end());
        run.places.insert(run.places.end(), world.begin(), world.end());
      });
  return run;
}

void PrintTo(const Dialect& dialect, std::ostream* out) { *out << dialect.name; }

class Dialects : public ::testing::TestWithParam<Dialect> {};

TEST_P(Dialects, RetargetLikeThePlainFile) {
  static const Clip plain = plain_walk();
  static const PipelineOutput expected = run_pipeline(text_of(plain));
  ASSERT_EQ(plain.rows.size(), 344u);
  const std::string text = GetParam().write(plain);
  ASSERT_NE(text, text_of(plain));
  const PipelineOutput actual = run_pipeline(text);
  ASSERT_EQ(actual.exact.size(), expected.exact.size());
  if (GetParam().exact) {
    // Bit for bit: -0 and 0 differ, NaN would not equal itself.
    EXPECT_EQ(std::memcmp(actual.exact.data(), expected.exact.data(), expected.exact.size() * sizeof(double)), 0);
    return;
  }
  constexpr double kPlaceTolerance = 1e-7;  // centimetres
  ASSERT_EQ(actual.places.size(), expected.places.size());
  double worst = 0;
  for (std::size_t i = 0; i < expected.places.size(); ++i) {
    for (std::size_t a = 0; a < 3; ++a) worst = std::max(worst, std::abs(actual.places[i][a] - expected.places[i][a]));
  }
  EXPECT_LT(worst, kPlaceTolerance);
}

INSTANTIATE_TEST_SUITE_P(CmuWalk, Dialects, ::testing::ValuesIn(kDialects),
                         [](const ::testing::TestParamInfo<Dialect>& info) { return std::string(info.param.name); });

}  // namespace

// Fingers full: the demo clip with splay and twist added to every finger joint. Each paired target
// finger joint then stands where its source joint stands (the overlay holds for the hands too), and
// so does each fingertip: the last bone turned by its world change, W x W_rest^-1, reaches the
// source's tip joint (Index4 ...). The curl rule misses the splay by far more.
TEST(FingersFull, FingertipsOverlayTheSourceWithSplayAndTwist) {
  std::ostringstream demo;
  oxr::write_demo_clip(demo);
  std::istringstream header_text(demo.str());
  oxr::bvh::Reader reader(header_text);
  const oxr::bvh::Header header = reader.header();
  std::vector<std::size_t> finger_columns;  // the X and Y rotation channels of every finger joint
  for (const oxr::bvh::Joint& joint : header.joints) {
    if (joint.name.find("Hand") == std::string::npos || joint.name.back() < '1' || joint.name.back() > '3') continue;
    for (std::size_t c = 0; c < joint.channels.size(); ++c) {
      if (joint.channels[c] == oxr::bvh::Channel::Xrotation || joint.channels[c] == oxr::bvh::Channel::Yrotation)
        finger_columns.push_back(static_cast<std::size_t>(joint.first_channel) + c);
    }
  }
  ASSERT_GE(finger_columns.size(), 60u);
  std::string text = demo.str();
  const std::size_t motion = text.find("Frame Time:");
  std::istringstream frames_in(text.substr(text.find('\n', motion) + 1));
  std::string clip = text.substr(0, text.find('\n', motion) + 1);
  std::string line;
  for (int f = 0; std::getline(frames_in, line); ++f) {
    std::istringstream values(line);
    std::vector<double> v;
    for (double x; values >> x;) v.push_back(x);
    for (std::size_t k = 0; k < finger_columns.size(); ++k)
      v[finger_columns[k]] += 20 * std::sin(0.1 * f + static_cast<double>(k));
    std::ostringstream row;
    row.precision(17);
    for (const double x : v) row << x << ' ';
    clip += row.str() + "\n";
  }

  oxr::Solver retargeter;
  const auto worst_finger_gap = [&](oxr::Fingers fingers) {
    oxr::RetargetOptions options;
    options.fingers = fingers;
    std::istringstream in(clip);
    oxr::ClipInfo info;
    std::vector<std::pair<int, int>> pairs;  // target bone, file joint
    std::vector<std::pair<int, int>> tips;   // last target bone, the source's tip joint
    std::vector<oxr::Vec3> world;
    std::vector<oxr::Quat> rotation;
    double worst = 0, height = 0;
    oxr::retarget_stream(
        in, "splay.bvh", options, retargeter,
        [&](const oxr::ClipInfo& clip_info) {
          info = clip_info;
          for (const char* side : {"Left", "Right"}) {
            for (const char* finger : {"Thumb", "Index", "Middle", "Ring", "Pinky"}) {
              for (int k = 1; k <= 3; ++k) {
                const std::string source = std::string(side) + "Hand" + finger + std::to_string(k);
                const std::string target =
                    oxr::bvh::to_lower(finger) + "_0" + std::to_string(k) + (side[0] == 'L' ? "_l" : "_r");
                const auto joint = std::find(info.source_joints.begin(), info.source_joints.end(), source);
                pairs.emplace_back(info.skeleton.index_of(target),
                                   static_cast<int>(joint - info.source_joints.begin()));
              }
              const std::string tip = std::string(side) + "Hand" + finger + "4";
              const auto joint = std::find(info.source_joints.begin(), info.source_joints.end(), tip);
              tips.emplace_back(pairs.back().first, static_cast<int>(joint - info.source_joints.begin()));
            }
          }
          for (const oxr::Vec3& p : info.skeleton.rest_world) height = std::max(height, p[1]);
        },
        [&](std::int64_t, const oxr::FramePose& pose) {
          oxr::target_world_positions(info.skeleton, pose, world);
          for (const auto& [target, joint] : pairs) {
            const oxr::Vec3 d = oxr::sub(world[static_cast<std::size_t>(target)],
                                         pose.source_positions[static_cast<std::size_t>(joint)]);
            worst = std::max(worst, oxr::length(d));
          }
          const oxr::TargetSkeleton& skeleton = info.skeleton;
          rotation.resize(skeleton.names.size());
          for (std::size_t j = 0; j < skeleton.names.size(); ++j) {
            const int parent = skeleton.parents[j];
            rotation[j] = parent < 0 ? pose.rotations[j]
                                     : oxr::mul(rotation[static_cast<std::size_t>(parent)], pose.rotations[j]);
          }
          for (const auto& [target, joint] : tips) {
            // The source's zero pose is its rest: the tip's rest offset is its file offset.
            const auto t = static_cast<std::size_t>(target);
            const oxr::Quat change = oxr::mul(rotation[t], oxr::conj(skeleton.rest_world_rotation[t]));
            const oxr::Vec3 tip =
                oxr::add(world[t], oxr::rotate(change, header.joints[static_cast<std::size_t>(joint)].offset));
            worst = std::max(worst, oxr::length(oxr::sub(tip, pose.source_positions[static_cast<std::size_t>(joint)])));
          }
        });
    EXPECT_EQ(pairs.size(), 30u);
    EXPECT_EQ(tips.size(), 10u);
    return worst / height;
  };
  EXPECT_LT(worst_finger_gap(oxr::Fingers::Full), 1e-6);
  EXPECT_GT(worst_finger_gap(oxr::Fingers::Curl), 1e-3);
}
