#include "DemoClip.h"

#include "Solver.h"

#include <array>
#include <cmath>
#include <map>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <fmt/ostream.h>

namespace oxr {
namespace {

constexpr int kFramesPerSecond = 30;
constexpr int kSegments = 6;

using Offset = std::array<double, 3>;

// Bone offsets from the parent in centimetres, left side; right-side bones mirror X.
Offset offset_of(const std::string& bone) {
  static const std::map<std::string, Offset> table = {
      {"Hips", {0, 0, 0}},
      {"Spine", {0, 10, 0}},
      {"Spine1", {0, 10, 0}},
      {"Spine2", {0, 10, 0}},
      {"Neck", {0, 15, 0}},
      {"Head", {0, 10, 0}},
      {"HeadTop_End", {0, 18, 0}},
      {"LeftEye", {3, 8, 8}},
      {"LeftShoulder", {5, 12, 0}},
      {"LeftArm", {12, 0, 0}},
      {"LeftForeArm", {28, 0, 0}},
      {"LeftHand", {25, 0, 0}},
      {"LeftHandMiddle1", {9, 0, 0}},
      {"LeftHandThumb1", {3, -1, 3}},
      {"LeftHandIndex1", {9, 0, 2}},
      {"LeftHandRing1", {9, 0, -1.5}},
      {"LeftHandPinky1", {8, 0, -3}},
      {"LeftUpLeg", {9, -5, 0}},
      {"LeftLeg", {0, -42, 0}},
      {"LeftFoot", {0, -40, 0}},
      {"LeftToeBase", {0, -6, 12}},
      {"LeftToe_End", {0, 0, 6}},
  };
  std::string left = bone;
  const bool right = bone.rfind("Right", 0) == 0;
  if (right) left = "Left" + bone.substr(5);
  Offset offset{3, 0, 0};  // finger phalanges
  if (const auto found = table.find(left); found != table.end()) offset = found->second;
  if (right) offset[0] = -offset[0];
  return offset;
}

double smooth(double t) {
  t = t < 0 ? 0 : (t > 1 ? 1 : t);
  return t * t * (3 - 2 * t);
}

// Euler channels (Z, X, Y degrees) of every bone at time t seconds, plus the root height.
struct Pose {
  std::map<std::string, std::array<double, 3>> zxy;
  double hips_height = 95;
};

Pose pose_at(double t) {
  Pose pose;
  // Arms up over 1-2 s and down over 2-3 s: about +Z turns the left arm (+X) towards +Y.
  const double raise = smooth(t - 1) - smooth(t - 2);
  pose.zxy["LeftArm"] = {90 * raise, 0, 0};
  pose.zxy["RightArm"] = {-90 * raise, 0, 0};
  // A quarter turn in place about the vertical over 3-4 s.
  const double turn = 90 * smooth(t - 3);
  pose.zxy["Hips"] = {0, 0, turn};
  // Knee bend over 4-5 s: thighs forward, shins back, hips lowered.
  const double bend = smooth(t - 4);
  for (const char* side : {"Left", "Right"}) {
    pose.zxy[std::string(side) + "UpLeg"] = {0, -70 * bend, 0};
    pose.zxy[std::string(side) + "Leg"] = {0, 110 * bend, 0};
    pose.zxy[std::string(side) + "Foot"] = {0, -40 * bend, 0};
  }
  pose.hips_height = 95 - 30 * bend;
  // Finger curl over 5-6 s: the fingers roll down about the forward axis.
  const double curl = 60 * smooth(t - 5);
  for (const char* finger : {"Index", "Middle", "Ring", "Pinky"}) {
    for (int k = 1; k <= 3; ++k) {
      pose.zxy[fmt::format("LeftHand{}{}", finger, k)] = {-curl, 0, 0};
      pose.zxy[fmt::format("RightHand{}{}", finger, k)] = {curl, 0, 0};
    }
  }
  return pose;
}

struct Node {
  std::string name;
  std::vector<int> children;
};

void write_joint(std::ostream& out, const std::vector<Node>& nodes, int index, int depth) {
  const std::string indent(static_cast<std::size_t>(depth), '\t');
  const Node& node = nodes[static_cast<std::size_t>(index)];
  const Offset offset = offset_of(node.name);
  fmt::print(out, "{}{} {}\n{}{{\n", indent, depth == 0 ? "ROOT" : "JOINT", node.name, indent);
  fmt::print(out, "{}\tOFFSET {} {} {}\n", indent, offset[0], offset[1], offset[2]);
  fmt::print(
      out, "{}\tCHANNELS {}\n", indent,
      depth == 0 ? "6 Xposition Yposition Zposition Zrotation Xrotation Yrotation" : "3 Zrotation Xrotation Yrotation");
  for (const int child : node.children) write_joint(out, nodes, child, depth + 1);
  if (node.children.empty()) {
    fmt::print(out, "{}\tEnd Site\n{}\t{{\n{}\t\tOFFSET 0 0 0\n{}\t}}\n", indent, indent, indent, indent);
  }
  fmt::print(out, "{}}}\n", indent);
}

}  // namespace

int demo_clip_frames() { return kSegments * kFramesPerSecond + 1; }

void write_demo_clip(std::ostream& out) {
  // The hierarchy of the source skeleton, in its build order.
  const SkeletonData& source = source_skeleton();
  const std::vector<std::string>& bones = source.names;
  std::vector<Node> nodes;
  nodes.reserve(bones.size());
  for (const std::string& bone : bones) nodes.push_back({bone, {}});
  for (std::size_t b = 0; b < bones.size(); ++b) {
    if (source.parents[b] >= 0)
      nodes[static_cast<std::size_t>(source.parents[b])].children.push_back(static_cast<int>(b));
  }

  fmt::print(out, "HIERARCHY\n");
  write_joint(out, nodes, 0, 0);
  fmt::print(out, "MOTION\nFrames: {}\nFrame Time: {:.17g}\n", demo_clip_frames(), 1.0 / kFramesPerSecond);

  // Channel values in hierarchy (depth-first) order.
  std::vector<int> order;
  std::vector<int> stack{0};
  while (!stack.empty()) {
    const int at = stack.back();
    stack.pop_back();
    order.push_back(at);
    const auto& children = nodes[static_cast<std::size_t>(at)].children;
    for (auto it = children.rbegin(); it != children.rend(); ++it) stack.push_back(*it);
  }
  for (int frame = 0; frame < demo_clip_frames(); ++frame) {
    const Pose pose = pose_at(static_cast<double>(frame) / kFramesPerSecond);
    std::string line = fmt::format("0 {:.6f} 0", pose.hips_height);
    for (const int index : order) {
      const auto found = pose.zxy.find(nodes[static_cast<std::size_t>(index)].name);
      const std::array<double, 3> zxy = found != pose.zxy.end() ? found->second : std::array<double, 3>{0, 0, 0};
      fmt::format_to(std::back_inserter(line), " {:.6f} {:.6f} {:.6f}", zxy[0], zxy[1], zxy[2]);
    }
    fmt::print(out, "{}\n", line);
  }
}

}  // namespace oxr
