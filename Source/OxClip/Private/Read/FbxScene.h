#pragma once

// What the FBX capture reader and the FBX character share: loading a file through ufbx with bounded
// memory, upright (+Y up, facing +Z) and in centimetres, and finding its skeleton and rest pose.

#include "Geometry.h"
#include "Rig.h"

#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include <ufbx.h>

namespace oxr::fbx {

struct SceneDeleter {
  void operator()(ufbx_scene* scene) const { ufbx_free_scene(scene); }
};
using Scene = std::unique_ptr<ufbx_scene, SceneDeleter>;

// ufbx's vector and quaternion from their components (their anonymous unions make braced
// initialisation compiler-dependent).
inline ufbx_vec3 vec3(double x, double y, double z) {
  ufbx_vec3 v;
  v.x = x;
  v.y = y;
  v.z = z;
  return v;
}
inline ufbx_quat quat(double x, double y, double z, double w) {
  ufbx_quat q;
  q.x = x;
  q.y = y;
  q.z = z;
  q.w = w;
  return q;
}

// Loads the file; ufbx's memory is bounded by the file's size (a few hundred times it, and at least
// 64 MiB). Throws ToolError with ufbx's reason in one line ("not an FBX file", "truncated file").
Scene load_scene(const std::filesystem::path& path, bool with_geometry);
Scene load_scene(std::span<const std::byte> bytes, bool with_geometry);

// The file's skeleton: its largest tree of limb nodes (nodes that skin clusters deform count as
// limbs; plain nodes between two limbs join them), parents first. Leaves named "*_end" or "*Nub"
// are the tips of their parents, not joints.
struct Skeleton {
  std::vector<const ufbx_node*> nodes;
  std::vector<int> parents;  // -1 at the root
  std::vector<std::string> names;
  std::vector<std::vector<const ufbx_node*>> tips;  // per joint, its tip leaves
  // Rest pose in the scene: from the skin clusters' bind matrices where present, else the bind pose
  // record's, else composed from the nodes' own transforms. Rotation (scale taken out) and place.
  std::vector<Quat> rest_rotation;
  std::vector<Vec3> rest_position;
  std::vector<std::vector<Vec3>> rest_tips;  // per joint, its tips' rest places
  bool bind_pose = false;                    // some joint's rest came from a bind pose
};

// Throws ToolError "has no skeleton" when the file has no limb node and no skin.
Skeleton find_skeleton(const ufbx_scene& scene);

// The skeleton as a BVH header: six channels a joint (positions absolute, then Zrotation Yrotation
// Xrotation), OFFSETs the rest pose's joint-to-joint vectors, the tips as end sites.
bvh::Header skeleton_header(const Skeleton& skeleton);

// Per joint of a skeleton header, the target bone it plays (an index of target_bone_names()) or -1:
// joints named as target bones, else recognition's source bones through the built-in pairing.
// Throws ToolError for a skeleton that is no human.
std::vector<int> target_roles(const bvh::Header& header);

// A rig of the user's own from an FBX file: the rest place (bind pose) of every target bone its
// skeleton plays, in `units`. Joints named as target bones count as those; otherwise recognition
// (as for captures) says which joint is which source bone, and the pairing names its target bone.
// Throws ToolError (no file name) when the file has no skeleton or no human one.
RigPositions read_rig(const std::filesystem::path& path, Units units);

// Rotation with scale taken out, and translation, of an affine matrix.
Quat rotation_of(const ufbx_matrix& m);
inline Vec3 translation_of(const ufbx_matrix& m) { return {m.cols[3].x, m.cols[3].y, m.cols[3].z}; }

}  // namespace oxr::fbx
