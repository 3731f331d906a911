#include "RestPose.h"

#include "AtomicFile.h"
#include "BvhFrameSource.h"
#include "JointMatch.h"
#include "Rig.h"
#include "Solver.h"
#include "ToolError.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <fstream>
#include <unordered_map>

namespace oxr {
namespace {

// Local rotations of every joint in the frame `index` of a reader, file axes.
std::vector<Quat> frame_rotations(FrameSource& reader, std::int64_t index, bool file_axes, const std::string& name) {
  const bvh::Header& header = reader.header();
  std::vector<double> values(static_cast<std::size_t>(header.channel_count));
  for (std::int64_t f = 0; f <= index; ++f) {
    if (!reader.read_frame(values)) {
      throw ToolError(name, "has no frame " + std::to_string(index) + " to rest on (" +
                                std::to_string(header.frame_count) + " frames)");
    }
  }
  std::vector<Quat> rotations;
  for (const bvh::Joint& joint : header.joints) {
    const Quat q = bvh::joint_rotation(joint, values);
    rotations.push_back(file_axes ? q : to_file_axes(q));
  }
  return rotations;
}

}  // namespace

SourceRest source_rest_from_text(std::string_view text) {
  SourceRest rest;
  if (text == "auto") return rest;
  if (text == "zero") {
    rest.mode = SourceRest::Mode::Zero;
    return rest;
  }
  if (text == "kz") {
    rest.mode = SourceRest::Mode::Kz;
    return rest;
  }
  if (text.starts_with("frame:")) {
    const std::string_view number = text.substr(6);
    const auto result = std::from_chars(number.data(), number.data() + number.size(), rest.frame);
    if (result.ec == std::errc() && result.ptr == number.data() + number.size() && rest.frame >= 0) {
      rest.mode = SourceRest::Mode::Frame;
      return rest;
    }
  }
  if (text.starts_with("file:") && text.size() > 5) {
    rest.mode = SourceRest::Mode::File;
    rest.file = std::string(text.substr(5));
    return rest;
  }
  throw ToolError(": expected auto, zero, kz, frame:N or file:REST.bvh").of_option("source-rest", std::string(text));
}

std::string source_rest_text(const SourceRest& rest) {
  switch (rest.mode) {
    case SourceRest::Mode::Auto:
      return "auto";
    case SourceRest::Mode::Zero:
      return "zero";
    case SourceRest::Mode::Kz:
      return "kz";
    case SourceRest::Mode::Frame:
      return "frame:" + std::to_string(rest.frame);
    case SourceRest::Mode::File:
      return "file:" + rest.file.string();
  }
  return "zero";
}

std::vector<Quat> rest_frame_of_stream(std::istream& in, std::int64_t frame, bool file_axes, const std::string& name) {
  const auto start = in.tellg();
  if (start == std::streampos(-1)) throw ToolError(name, "cannot read a rest frame from a stream that cannot seek");
  std::vector<Quat> rotations;
  try {
    BvhFrameSource reader(in);
    rotations = frame_rotations(reader, frame, file_axes, name);
  } catch (const bvh::BvhError& error) {
    throw ToolError(name, error.what());
  }
  in.clear();
  in.seekg(start);
  return rotations;
}

std::vector<Quat> rest_frame_of_source(FrameSource& source, std::int64_t frame, bool file_axes,
                                       const std::string& name) {
  if (!source.rewind()) throw ToolError(name, "cannot read a rest frame from a stream that cannot seek");
  std::vector<Quat> rotations = frame_rotations(source, frame, file_axes, name);
  source.rewind();
  return rotations;
}

std::vector<Quat> rest_rotations(const SourceRest& rest, const bvh::Header& header, const JointMatch& match,
                                 bool file_axes, const std::string& name) {
  switch (rest.mode) {
    case SourceRest::Mode::Auto:
    case SourceRest::Mode::Zero:
    case SourceRest::Mode::Frame:
      return std::vector<Quat>(header.joints.size(), kIdentity);
    case SourceRest::Mode::Kz: {
      // Matched joints at the source skeleton's T-pose, the others at zero.
      const SkeletonData& source = source_skeleton();
      std::vector<Quat> rotations(header.joints.size(), kIdentity);
      for (const JointMatch::Pair& pair : match.matched) {
        rotations[static_cast<std::size_t>(pair.joint)] =
            to_file_axes(source.t_pose_local[static_cast<std::size_t>(source.index_of(pair.bone))]);
      }
      return rotations;
    }
    case SourceRest::Mode::File: {
      std::ifstream file = open_input(rest.file);
      try {
        BvhFrameSource reader(file);
        const bvh::Header& other = reader.header();
        bool same = other.joints.size() == header.joints.size();
        for (std::size_t j = 0; same && j < other.joints.size(); ++j) {
          same = bvh::to_lower(other.joints[j].name) == bvh::to_lower(header.joints[j].name) &&
                 other.joints[j].parent == header.joints[j].parent;
        }
        if (!same) throw ToolError(rest.file.string(), "its joints differ from those of " + name);
        return frame_rotations(reader, 0, file_axes, rest.file.string());
      } catch (const bvh::BvhError& error) {
        throw ToolError(rest.file.string(), error.what());
      }
    }
  }
  return {};
}

namespace {

Vec3 cross(const Vec3& a, const Vec3& b) {
  return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}
double dot(const Vec3& a, const Vec3& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

// The shortest turn taking the direction of a onto the direction of b.
Quat swing(const Vec3& a, const Vec3& b) {
  const double la = length(a), lb = length(b);
  if (la <= 0 || lb <= 0) return kIdentity;
  const Vec3 axis = cross(a, b);
  const double w = la * lb + dot(a, b);
  Quat q{axis[0], axis[1], axis[2], w};
  if (w <= 1e-12 * la * lb) {
    // Opposite directions: half a turn about any axis across a.
    const Vec3 other = std::abs(a[0]) < 0.9 * la ? Vec3{1, 0, 0} : Vec3{0, 1, 0};
    const Vec3 across = cross(a, other);
    q = {across[0], across[1], across[2], 0};
  }
  const double n = std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]);
  return {q[0] / n, q[1] / n, q[2] / n, q[3] / n};
}

double degrees_between(const Vec3& a, const Vec3& b) {
  const double n = length(a) * length(b);
  if (n <= 0) return 0;
  return std::acos(std::clamp(dot(a, b) / n, -1.0, 1.0)) * 180 / 3.14159265358979323846;
}

// The source bone each bone aims at in the T-pose (the first of these the file has).
std::vector<std::string> aim_bones(const std::string& bone) {
  const auto side = [&](std::string_view prefix) { return bone.starts_with(prefix); };
  const std::string s = side("Left") ? "Left" : side("Right") ? "Right" : "";
  const std::string part = bone.substr(s.size());
  if (bone == "Spine") return {"Spine1", "Spine2", "Neck", "Head"};
  if (bone == "Spine1") return {"Spine2", "Neck", "Head"};
  if (bone == "Spine2") return {"Neck", "Head"};
  if (bone == "Neck") return {"Head"};
  if (part == "Shoulder") return {s + "Arm"};
  if (part == "Arm") return {s + "ForeArm"};
  if (part == "ForeArm") return {s + "Hand"};
  if (part == "Hand") return {s + "HandMiddle1", s + "HandIndex1", s + "HandRing1"};
  if (part == "UpLeg") return {s + "Leg"};
  if (part == "Leg") return {s + "Foot"};
  if (part == "Foot") return {s + "ToeBase"};
  if (part.starts_with("Hand") && part.size() > 5 && std::isdigit(static_cast<unsigned char>(part.back()))) {
    const int k = part.back() - '0';
    if (k < 3) return {bone.substr(0, bone.size() - 1) + std::to_string(k + 1)};
  }
  return {};
}

}  // namespace

std::vector<Quat> auto_rest_rotations(const bvh::Header& header, const JointMatch& match, bool file_axes,
                                      std::string& decision, std::string* why) {
  const std::size_t n = header.joints.size();
  std::unordered_map<std::string, int> joint_of;
  std::vector<std::string> bone_of(n);
  for (const JointMatch::Pair& pair : match.matched) {
    joint_of[pair.bone] = pair.joint;
    bone_of[static_cast<std::size_t>(pair.joint)] = pair.bone;
  }
  std::unordered_map<std::string, std::string> target_of;
  {
    const Pairing& pairing = builtin_pairing();
    for (std::size_t i = 0; i < pairing.source.size(); ++i) target_of[pairing.source[i]] = pairing.target[i];
  }
  std::vector<Vec3> offset(n);
  for (std::size_t j = 0; j < n; ++j)
    offset[j] = file_axes ? header.joints[j].offset : vector_to_file_axes(header.joints[j].offset);
  const auto ancestor = [&](int a, int j) {
    for (int at = j; at >= 0; at = header.joints[static_cast<std::size_t>(at)].parent)
      if (at == a) return true;
    return false;
  };
  // From joint a down to its descendant d with every rotation at zero, in a's frame.
  const auto reach = [&](int a, int d) {
    Vec3 sum{0, 0, 0};
    for (int at = d; at != a; at = header.joints[static_cast<std::size_t>(at)].parent)
      sum = add(sum, offset[static_cast<std::size_t>(at)]);
    return sum;
  };
  // Each recognised bone's aim: the joint it points at and the mannequin's direction for it.
  struct Aim {
    int joint = -1;
    Vec3 direction{};
  };
  std::vector<Aim> aim(n);
  for (std::size_t j = 0; j < n; ++j) {
    const std::string& bone = bone_of[j];
    if (bone.empty() || !target_of.count(bone)) continue;
    for (const std::string& next : aim_bones(bone)) {
      const auto found = joint_of.find(next);
      if (found == joint_of.end() || !target_of.count(next) || !ancestor(static_cast<int>(j), found->second)) continue;
      aim[j].joint = found->second;
      aim[j].direction = sub(mannequin_t_pose_position(target_of[next]), mannequin_t_pose_position(target_of[bone]));
      break;
    }
  }

  // Close to a T-pose: the limbs of the zero pose within 30 degrees, once turned to face +Z.
  double worst = 0;
  std::string worst_bone = "none";
  const auto hips = joint_of.find("Hips");
  const auto left_leg = joint_of.find("LeftUpLeg");
  const auto right_leg = joint_of.find("RightUpLeg");
  Quat heading = kIdentity;
  if (hips != joint_of.end() && left_leg != joint_of.end() && right_leg != joint_of.end()) {
    const Vec3 across = sub(reach(hips->second, left_leg->second), reach(hips->second, right_leg->second));
    heading = swing({1, 0, 0}, {across[0], 0, across[2]});
  }
  for (const char* bone :
       {"LeftUpLeg", "LeftLeg", "RightUpLeg", "RightLeg", "LeftArm", "LeftForeArm", "RightArm", "RightForeArm"}) {
    const auto found = joint_of.find(bone);
    if (found == joint_of.end()) continue;
    const Aim& a = aim[static_cast<std::size_t>(found->second)];
    if (a.joint < 0) continue;
    const double angle = degrees_between(reach(found->second, a.joint), rotate(heading, a.direction));
    if (angle > worst) {
      worst = angle;
      worst_bone = bone;
    }
  }
  if (worst <= 30) {
    decision = "zero";
    if (why)
      *why = "the zero pose is close to a T-pose (largest limb difference " +
             std::to_string(static_cast<int>(std::lround(worst))) + " degrees, at " + worst_bone + ")";
    return {};
  }
  decision = "auto:t-pose";
  if (why)
    *why = "a T-pose built from the skeleton (its zero pose is " +
           std::to_string(static_cast<int>(std::lround(worst))) + " degrees from one, at " + worst_bone + ")";

  std::vector<Quat> local(n, kIdentity);
  std::vector<Quat> world(n, kIdentity);
  for (std::size_t j = 0; j < n; ++j) {
    const int parent = header.joints[j].parent;
    const Quat above = parent < 0 ? kIdentity : world[static_cast<std::size_t>(parent)];
    Quat turn = kIdentity;  // world-space turn applied at this joint
    if (bone_of[j] == "Hips" && left_leg != joint_of.end() && right_leg != joint_of.end()) {
      // The hips: the spine up, the left leg toward +X.
      const auto top = joint_of.count("Head") ? joint_of["Head"] : joint_of.count("Neck") ? joint_of["Neck"] : -1;
      if (top >= 0 && ancestor(static_cast<int>(j), top) && ancestor(static_cast<int>(j), left_leg->second) &&
          ancestor(static_cast<int>(j), right_leg->second)) {
        const Quat lift = swing(rotate(above, reach(static_cast<int>(j), top)), {0, 1, 0});
        const Vec3 across = rotate(lift, rotate(above, sub(reach(static_cast<int>(j), left_leg->second),
                                                           reach(static_cast<int>(j), right_leg->second))));
        turn = mul(swing({across[0], 0, across[2]}, {1, 0, 0}), lift);
      }
    } else if (aim[j].joint >= 0) {
      turn = swing(rotate(above, reach(static_cast<int>(j), aim[j].joint)), aim[j].direction);
    }
    world[j] = mul(turn, above);
    local[j] = mul(conj(above), world[j]);
  }
  return local;
}

RestConverter::RestConverter(const std::vector<Quat>& rest_local, const bvh::Header& header, const JointMatch& match) {
  // World rotations of the rest pose, file axes.
  std::vector<Quat> rest_world(header.joints.size());
  forward_rotations(
      header.joints.size(), [&](std::size_t j) { return header.joints[j].parent; },
      [&](std::size_t j) { return rest_local[j]; }, rest_world);
  std::unordered_map<std::string, std::pair<int, int>> matched;  // lower-case bone -> (joint, pair)
  for (std::size_t m = 0; m < match.matched.size(); ++m) {
    matched.emplace(bvh::to_lower(match.matched[m].bone), std::make_pair(match.matched[m].joint, static_cast<int>(m)));
  }
  const SkeletonData& source = source_skeleton();
  for (std::size_t b = 0; b < source.names.size(); ++b) {
    Bone entry;
    entry.parent = source.parents[b];
    entry.t_pose_local = source.t_pose_local[b];
    if (const auto found = matched.find(bvh::to_lower(source.names[b])); found != matched.end()) {
      entry.joint = found->second.first;
      entry.matched = found->second.second;
      const Quat& t_pose_world = source.t_pose_world[b];
      entry.correction = mul(conj(to_library_axes(rest_world[static_cast<std::size_t>(entry.joint)])), t_pose_world);
    }
    bones_.push_back(entry);
  }
  source_world_.resize(bones_.size());
}

void RestConverter::convert(const std::vector<Quat>& world, std::vector<Quat>& out) {
  for (std::size_t b = 0; b < bones_.size(); ++b) {
    const Bone& bone = bones_[b];
    const Quat above = bone.parent < 0 ? kIdentity : source_world_[static_cast<std::size_t>(bone.parent)];
    if (bone.joint < 0) {
      source_world_[b] = mul(above, bone.t_pose_local);
      continue;
    }
    source_world_[b] = mul(to_library_axes(world[static_cast<std::size_t>(bone.joint)]), bone.correction);
    out[static_cast<std::size_t>(bone.matched)] = mul(conj(above), source_world_[b]);
  }
}

}  // namespace oxr
