#include "Retarget.h"
#include "ToolError.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <sstream>
#include <string>
#include <vector>

// Engine headers last: their check() macro clashes with other libraries' members of that name.
#include "OxRetarget_KZ_UE.h"

namespace {

constexpr double kTolerance = 1e-9;

oxr::bvh::Header header_with(const std::vector<std::string>& names) {
  oxr::bvh::Header header;
  for (const std::string& name : names) {
    oxr::bvh::Joint joint;
    joint.name = name;
    header.joints.push_back(joint);
  }
  return header;
}

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
  std::vector<oxr::bvh::Quat> frame;  // the last frame, meta-bone order
  oxr::ClipInfo info;
};

Solved solve(OxRetarget_KZ_UE& retargeter, const std::string& text, oxr::RetargetOptions options = {}) {
  std::istringstream in(text);
  Solved solved;
  const auto result = oxr::retarget_stream(
      in, "clip.bvh", options, retargeter, [&](const oxr::ClipInfo& info) { solved.info = info; },
      [&](std::int64_t, const oxr::FramePose& pose) { solved.frame.assign(pose.meta.begin(), pose.meta.end()); });
  EXPECT_EQ(result.frames, 1);
  return solved;
}

// World-space change of a target bone from its T-pose: W_new * conj(W_tpose).
TQuat<double> world_change(OxRetarget_KZ_UE& retargeter, const char* bone) {
  OxSkeletonTreeUE* target = retargeter.getDesSkeleton();
  const TQuat<double> now = target->get_pose_in_world(FName(bone)).GetRotation();
  const TQuat<double> rest = target->get_t_pose_in_world(FName(bone)).GetRotation();
  return now * rest.Inverse();
}

void expect_vector_near(const TVector<double>& actual, const TVector<double>& expected) {
  EXPECT_NEAR(actual.X, expected.X, kTolerance);
  EXPECT_NEAR(actual.Y, expected.Y, kTolerance);
  EXPECT_NEAR(actual.Z, expected.Z, kTolerance);
}

class AxisRules : public ::testing::Test {
 protected:
  void SetUp() override { retargeter.init(); }
  OxRetarget_KZ_UE retargeter;
};

// The file turns its character from facing +Z toward +X, its left. In the library the character
// faces -X with its left at +Y, so its forward must swing toward +Y about the vertical.
TEST_F(AxisRules, TurnAboutTheVerticalKeepsItsSense) {
  solve(retargeter, arm_chain_clip(chain_values(30, 0)));
  const TQuat<double> change = world_change(retargeter, "pelvis");

  const double half = 15.0 * std::numbers::pi / 180.0;
  const double sign = change.W < 0 ? -1.0 : 1.0;
  EXPECT_NEAR(sign * change.W, std::cos(half), kTolerance);
  // A pure turn about the vertical: the axis is +Z; with the library's rotation formula the angle
  // that swings -X toward +Y is negative.
  EXPECT_NEAR(sign * change.X, 0.0, kTolerance);
  EXPECT_NEAR(sign * change.Y, 0.0, kTolerance);
  EXPECT_NEAR(sign * change.Z, -std::sin(half), kTolerance);

  const double angle = 30.0 * std::numbers::pi / 180.0;
  expect_vector_near(change.RotateVector(TVector<double>(-1, 0, 0)),
                     TVector<double>(-std::cos(angle), std::sin(angle), 0));
  expect_vector_near(change.RotateVector(TVector<double>(0, 0, 1)), TVector<double>(0, 0, 1));
}

// Raising the left arm from sideways (file +X) to overhead (file +Y): in the library the arm's
// direction goes from the character's left (+Y) to up (+Z).
TEST_F(AxisRules, RaisingTheLeftArmPointsItUp) {
  solve(retargeter, arm_chain_clip(chain_values(0, 90)));
  const TQuat<double> change = world_change(retargeter, "upperarm_l");
  expect_vector_near(change.RotateVector(TVector<double>(0, 1, 0)), TVector<double>(0, 0, 1));
  // The pelvis stays put.
  const TQuat<double> pelvis = world_change(retargeter, "pelvis");
  EXPECT_NEAR(std::abs(pelvis.W), 1.0, kTolerance);
}

TEST_F(AxisRules, AxesNonePassesRotationsThrough) {
  // A library-frame turn about +Z fed unconverted must come out as that same world change.
  oxr::RetargetOptions options;
  options.axes = oxr::Axes::None;
  // Hips' Yrotation channel is its third: with no conversion it is a turn about the library's +Y.
  solve(retargeter, arm_chain_clip(chain_values(30, 0)), options);
  const TQuat<double> change = world_change(retargeter, "pelvis");
  const double half = 15.0 * std::numbers::pi / 180.0;
  const double sign = change.W < 0 ? -1.0 : 1.0;
  EXPECT_NEAR(sign * change.Y, std::sin(half), kTolerance);
  EXPECT_NEAR(sign * change.W, std::cos(half), kTolerance);
}

TEST(RetargetStream, DescribesTheClipBeforeTheFirstFrame) {
  OxRetarget_KZ_UE retargeter;
  retargeter.init();
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
  OxRetarget_KZ_UE fresh;
  fresh.init();
  const Solved expected = solve(fresh, hips_only);

  OxRetarget_KZ_UE reused;
  reused.init();
  solve(reused, arm_chain_clip(chain_values(10, 70)));
  const Solved actual = solve(reused, hips_only);
  EXPECT_EQ(actual.frame, expected.frame);
}

TEST(RetargetStream, ErrorsNameTheStreamAndTheLine) {
  std::istringstream in(arm_chain_clip("0 0 0 nan 0 0 0 0 0 0 0 0 0 0 0 0 0 0"));
  OxRetarget_KZ_UE retargeter;
  retargeter.init();
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

}  // namespace
