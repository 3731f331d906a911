#include "RestPose.h"

#include "AtomicFile.h"
#include "BvhFrameSource.h"
#include "Canonical.h"
#include "JointMatch.h"
#include "Retarget.h"
#include "Rig.h"
#include "Solver.h"
#include "ToolError.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <fstream>
#include <limits>
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

// The lowest point along each signed axis (+X, -X, +Y, -Y, +Z, -Z) of a pose's joints and end sites.
std::array<double, 6> lowest_points(const bvh::Header& header, const std::vector<Vec3>& position,
                                    const std::vector<Quat>& world, bool file_axes) {
  std::array<double, 6> low;
  low.fill(std::numeric_limits<double>::infinity());
  const auto lower = [&](const Vec3& p) {
    for (std::size_t a = 0; a < 3; ++a) {
      low[2 * a] = std::min(low[2 * a], p[a]);
      low[2 * a + 1] = std::min(low[2 * a + 1], -p[a]);
    }
  };
  for (std::size_t j = 0; j < position.size(); ++j) {
    lower(position[j]);
    for (const auto& end : header.joints[j].end_sites)
      lower(add(position[j], rotate(world[j], file_axes ? Vec3(end) : vector_to_file_axes(end))));
  }
  return low;
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
  throw UsageError(": expected auto, zero, kz, frame:N or file:REST.bvh").of_option("source-rest", std::string(text));
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
  } catch (Error& error) {
    error.in_file(name);
    throw;
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

ClipSurvey survey_clip(FrameSource& source, const JointMatch& match, bool file_axes) {
  const bvh::Header& header = source.header();
  const std::size_t n = header.joints.size();
  ClipSurvey survey;
  survey.hinges.resize(n);
  std::unordered_map<std::string, int> joint_of;
  for (const JointMatch::Pair& pair : match.matched) joint_of.emplace(pair.bone, pair.joint);
  struct Limb {
    int upper, middle, lower;
    HingeSum sum;
  };
  std::vector<Limb> limbs;
  for (const char* side : {"Left", "Right"}) {
    for (const auto& [a, b, c] : {std::array<std::string, 3>{"UpLeg", "Leg", "Foot"}, {"Arm", "ForeArm", "Hand"}}) {
      const auto u = joint_of.find(side + a), m = joint_of.find(side + b), l = joint_of.find(side + c);
      if (u != joint_of.end() && m != joint_of.end() && l != joint_of.end())
        limbs.push_back({u->second, m->second, l->second, {}});
    }
  }
  std::vector<int> feet;
  for (const char* bone : {"LeftFoot", "RightFoot", "LeftToeBase", "RightToeBase"})
    if (const auto found = joint_of.find(bone); found != joint_of.end()) feet.push_back(found->second);
  const int head = joint_of.count("Head") ? joint_of["Head"] : joint_of.count("Neck") ? joint_of["Neck"] : -1;
  if (header.frame_count <= 0 || !source.rewind()) return survey;
  // The first frames are enough to see where up is, where the floor is and how elbows and knees
  // bend; about 200 of them are posed.
  constexpr std::int64_t kFrames = 600;
  const std::int64_t every = std::clamp<std::int64_t>(std::min(header.frame_count, kFrames) / 200, 1, 3);
  std::vector<double> values(static_cast<std::size_t>(header.channel_count));
  std::vector<Quat> local(n), world(n);
  std::vector<Vec3> position(n);
  try {
    for (std::int64_t f = 0; f < kFrames && source.read_frame(values); ++f) {
      if (f % every != 0) continue;
      file_joint_poses(header, values, file_axes, local, world, position);
      for (Limb& limb : limbs) {
        const auto at = [&](int j) { return position[static_cast<std::size_t>(j)]; };
        limb.sum.add(sub(at(limb.middle), at(limb.upper)), sub(at(limb.lower), at(limb.middle)),
                     world[static_cast<std::size_t>(limb.upper)], world[static_cast<std::size_t>(limb.middle)]);
      }
      survey.lowest.push_back(lowest_points(header, position, world, file_axes));
      if (head >= 0 && !feet.empty()) {
        Vec3 base{0, 0, 0};
        for (const int foot : feet)
          base =
              add(base, scale_vector(position[static_cast<std::size_t>(foot)], 1.0 / static_cast<double>(feet.size())));
        const Vec3 up = sub(position[static_cast<std::size_t>(head)], base);
        std::size_t best = 0;
        for (std::size_t a = 1; a < 3; ++a)
          if (std::abs(up[a]) > std::abs(up[best])) best = a;
        ++survey.up_votes[2 * best + (up[best] < 0 ? 1 : 0)];
      }
    }
  } catch (const bvh::BvhError&) {
    // The main pass reports what is wrong with the file.
  }
  source.rewind();
  for (const Limb& limb : limbs) {
    if (const auto h = limb.sum.upper()) survey.hinges[static_cast<std::size_t>(limb.upper)] = *h;
    if (const auto h = limb.sum.lower()) survey.hinges[static_cast<std::size_t>(limb.middle)] = *h;
  }
  return survey;
}

double ClipSurvey::floor(int axis) const {
  // Where the lowest point stands when it stands low (the 5th percentile): a calibration frame or a
  // glitch does not decide.
  std::vector<double> heights;
  heights.reserve(lowest.size());
  for (const auto& low : lowest) heights.push_back(low[static_cast<std::size_t>(axis)]);
  if (heights.empty()) return 0;
  const auto at = heights.begin() + static_cast<std::ptrdiff_t>(heights.size() / 20);
  std::nth_element(heights.begin(), at, heights.end());
  return *at;
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
      } catch (Error& error) {
        error.in_file(rest.file.string());
        throw;
      }
    }
  }
  return {};
}

std::vector<Quat> auto_rest_rotations(const bvh::Header& header, const JointMatch& match, bool file_axes,
                                      std::string& decision, std::string* why,
                                      const std::vector<std::optional<Vec3>>& hinges) {
  const std::size_t n = header.joints.size();
  PosedSkeleton zero;
  zero.rotations.assign(n, kIdentity);
  zero.bones.resize(n);
  zero.hinges = hinges;
  for (const JointMatch::Pair& pair : match.matched) zero.bones[static_cast<std::size_t>(pair.joint)] = pair.bone;
  for (std::size_t j = 0; j < n; ++j) {
    const bvh::Joint& joint = header.joints[j];
    const Vec3 offset = file_axes ? joint.offset : vector_to_file_axes(joint.offset);
    zero.parents.push_back(joint.parent);
    zero.positions.push_back(joint.parent < 0 ? offset
                                              : add(zero.positions[static_cast<std::size_t>(joint.parent)], offset));
  }
  const CanonicalPose pose = canonical_pose(zero);
  const auto degrees = std::to_string(static_cast<int>(std::lround(pose.worst_degrees)));
  if (pose.worst_degrees <= kCanonicalTolerance) {
    decision = "zero";
    if (why)
      *why = "the zero pose is the canonical T-pose (largest difference " + degrees + " degrees, at " +
             pose.worst_bone + ")";
    return {};
  }
  decision = "auto:t-pose";
  if (why)
    *why = "the canonical T-pose built from the skeleton (its zero pose is " + degrees + " degrees from it, at " +
           pose.worst_bone + ")";
  std::vector<Quat> local(n, kIdentity);
  for (std::size_t j = 0; j < n; ++j) {
    const int parent = header.joints[j].parent;
    local[j] = parent < 0 ? pose.turn[j] : mul(conj(pose.turn[static_cast<std::size_t>(parent)]), pose.turn[j]);
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
