#pragma once

// The target skeleton as the output files describe it: every bone of the target tree with its rest
// rotation and its bone offset (rest translation), which neither skeleton of the library carries.

#include "BvhReader.h"
#include "Geometry.h"

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace oxr {

struct JointMatch;

enum class Units { Cm, M, Mm, In };

// Where the source root's travel goes: the pelvis follows the hips in all three axes; the root bone
// takes ground-plane travel and heading (the pelvis the rest); or none: in place, height kept.
enum class RootMotion { Pelvis, Root, None };
const char* root_motion_name(RootMotion motion);
// From the command-line spellings ("cm", "m", "mm", "in"; "pelvis", "root", "none"); throws
// ToolError on anything else.
Units units_from_name(std::string_view name);
RootMotion root_motion_from_name(std::string_view name);

// Metres per source unit.
double metres_per_unit(Units units);
const char* units_name(Units units);

// World positions of a rig's joints in its zero pose, keyed by target bone name (as the target
// skeleton spells it), in source units and file axes.
using RigPositions = std::map<std::string, Vec3>;

// Reads a rig of the user's own: a BVH file (offsets in source units) or a glTF/glb file (metres),
// with target bone names. Throws ToolError naming the file when it names no target bone or lacks
// the pelvis.
RigPositions read_target_rig(const std::filesystem::path& path, Units units);

// The target skeleton's bone names, in build order.
const std::vector<std::string>& target_bone_names();

struct TargetSkeleton {
  std::vector<std::string> names;  // build order: a parent precedes its children
  std::vector<int> parents;        // -1 for the root
  std::vector<Quat> rest;          // local rest rotation, file axes
  std::vector<Vec3> offsets;       // local rest translation, file axes, source units
  std::vector<Vec3> rest_world;    // rest position of each joint (root at the origin, ground at y = 0)
  std::vector<Quat> rest_world_rotation;
  std::vector<Vec3> end_sites;  // tip of each leaf in its own frame (zero for inner bones)
  double hip_height = 0;        // pelvis above the ground in the rest pose, source units
  double motion_scale = 1;      // source travel to target travel (rig hip height over source's)
  int root = 0;                 // index of "root"
  int pelvis = 1;               // index of "pelvis"

  int index_of(const std::string& name) const;
};

// The target skeleton with offsets derived from the source file (see the README): in the rest pose
// each paired target joint stands where its source joint stands; other joints lie between their
// neighbours. With a rig, the rig's positions replace the derived ones where it names the bone.
// rest_local: the local rotation of every file joint in the source's rest pose (file axes).
TargetSkeleton build_target_skeleton(const bvh::Header& header, const JointMatch& match, bool file_axes,
                                     const RigPositions* rig, const std::vector<Quat>& rest_local);

// Where a target bone stands in the mannequin's T-pose, in centimetres, file axes (+Y up, facing +Z,
// its left at +X); the origin for a name the target lacks.
Vec3 mannequin_t_pose_position(const std::string& target_bone);

// The mannequin's T-pose positions of every target bone, in `units`: a rig of its proportions.
RigPositions mannequin_rig(Units units);

// Local translation of a file joint this frame, file axes: its offset and position channels,
// combined as `positions` says (bvh::joint_position).
Vec3 joint_translation(const bvh::Joint& joint, std::span<const double> values, bool file_axes,
                       bvh::Positions positions);

}  // namespace oxr
