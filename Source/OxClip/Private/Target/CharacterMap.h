#pragma once

// Which joint of a character plays which target bone, for glTF and FBX characters alike: the file's own
// humanoid map when it has one (a VRM's), else the recognition that reads a capture's skeleton, run on
// the joints that deform in their bind pose; a --target-map file completes or overrides either. Then
// the character's frame (facing) and its rest turned into the canonical T-pose.

#include "Geometry.h"
#include "Recognition.h"

#include <optional>
#include <string>
#include <vector>

namespace tinygltf {
class Model;
}

namespace oxr {

// A character's joints as the mapping sees them: every node of the file (or every joint of its
// skeleton), in the bind pose, file axes.
struct CharacterJoints {
  std::vector<std::string> names;
  std::vector<int> parents;               // -1 at a root
  std::vector<int> order;                 // every joint, parents first
  std::vector<Vec3> bind;                 // world positions in the bind pose
  std::vector<Quat> rotations;            // world rotations in the bind pose
  std::vector<std::vector<Vec3>> tips;    // per joint, the world places of its end sites; may be empty
  std::string up = "auto";                // the bind pose's up axis as recognition takes it (--source-up)
  std::optional<double> metres_per_unit;  // the bind pose's unit; empty: recognition's guess
  std::vector<bool> skin;                 // a joint of the skin: recognition looks at these and the joints above
  std::vector<bool> deforms;              // some vertex weighs on it; all false when the file does not say
  std::vector<bool> nameable;             // may play a target bone by its exact name (not a mesh node)
  std::vector<int> given;  // per joint, the bone the file's own map gives (target index) or -1; may be empty
  std::string given_by;    // what gave them ("the file's VRM 1.0 humanoid map"); empty for none
};

struct JointRole {
  int joint = -1;
  std::string bone;      // the target bone
  std::string evidence;  // "name", "structure", "VRM humanoid map", "map file", ...
};

struct CharacterMapping {
  std::vector<int> target_of;        // per joint: index into target_bone_names(), -1 for none
  std::vector<JointRole> roles;      // the joints that play a target bone, in joint order
  std::string source;                // what decided: "the file's VRM 1.0 humanoid map", "recognition ...", ...
  std::vector<std::string> ignored;  // skin joints left out as not deforming (IK, control, helpers)
};

// The mapping. Throws Error naming `file` for a character that is not a human (one line: what is
// missing, and --target-map suggested), and naming the map file for an entry whose joint the character
// lacks or whose bone no skeleton has.
CharacterMapping map_character(const CharacterJoints& joints, const std::string& file, const JointMap& target_map,
                               const std::string& map_name);

// The glTF side: the skins' joints, the vertices' weights and the VRM humanoid map (1.0 or 0.x) of a
// model, with the bind pose's positions and rotations per node.
CharacterJoints gltf_character_joints(const tinygltf::Model& model, const std::vector<std::string>& names,
                                      const std::vector<int>& parents, const std::vector<int>& order,
                                      const std::vector<Vec3>& bind, const std::vector<Quat>& rotations);

// The character's frame in the target's terms (columns: its left, up and forward), from the thighs
// (else the upper arms) and the pelvis-to-head line of its bind pose. An axis within 25 degrees of a file
// axis is taken as that axis, so that a character standing in the file's axes gets exactly the identity.
Quat character_facing(const CharacterJoints& joints, const CharacterMapping& mapping);

// The character's frame (character_facing) at work: target directions and world changes carried into
// the character's frame, the character's places into the target's. The identity leaves values untouched.
class Facing {
 public:
  Facing() = default;
  explicit Facing(const Quat& frame) : frame_(frame), turned_(frame != kIdentity) {}
  const Quat& frame() const { return frame_; }
  Vec3 to_character(const Vec3& v) const { return turned_ ? rotate(frame_, v) : v; }
  Vec3 to_target(const Vec3& v) const { return turned_ ? rotate(conj(frame_), v) : v; }
  Quat change_to_character(const Quat& change) const {
    return turned_ ? mul(frame_, mul(change, conj(frame_))) : change;
  }

 private:
  Quat frame_ = kIdentity;
  bool turned_ = false;
};

// The world turn (file axes) taking each joint from its bind pose into the character's canonical T-pose,
// limb by limb, judged in the target's frame (`facing`); empty when the bind pose is that T-pose within
// the tolerance. The canonical world rotation of joint j is turn[j] x rotations[j].
std::vector<Quat> canonical_turns(const CharacterJoints& joints, const CharacterMapping& mapping, const Quat& facing);

// The root a character's rig gets where it plays none, in the target's frame and the joints' units:
// on the ground of its file (y = 0 in the target's frame), below the pelvis, where that ground lies
// under its lowest joint (`places`: the bind pose) by less than 15% of the pelvis's height, as
// characters stand on their origin. Empty otherwise (the lowest joint is then its ground), and where it
// plays a root or no pelvis.
std::optional<Vec3> ground_root(const CharacterMapping& mapping, const std::vector<Vec3>& places, const Facing& facing);

// Where a character has fewer bones than the target (one spine bone for five, no neck bone, fingers
// without metacarpals), a joint stands for the bones up to its next joint as well: per joint, the last
// target bone it stands for beyond its own (an index of the target skeleton), -1 for none. `bone_of`
// gives each joint's target bone (-1 for none), `joint_parents` and `bone_parents` the two trees. The
// bones every child's way up skips are the joint's: a spine bone whose children are the clavicles and
// the head covers the spine, not the neck.
std::vector<int> covered_bones(const std::vector<int>& joint_parents, const std::vector<int>& bone_of,
                               const std::vector<int>& bone_parents);

// The rotation halfway between two (the shorter way): the world change of a joint that stands for a
// chain of bones, between its own bone's and the chain's last bone's.
Quat halfway(const Quat& a, Quat b);

// The humanoid bone names VRM 1.0 uses (also VRM 0.x's, whose thumb is proximal, intermediate, distal),
// and the target bone each plays; empty for a VRM bone the target lacks.
const std::vector<std::pair<std::string, std::string>>& vrm_bones();

}  // namespace oxr
