#pragma once

// A character from an FBX file (--character CHAR.fbx): its skeleton (the file's limb nodes, their
// names and bind pose) and the target bone each joint plays (joints named as target bones, else
// recognition of its deforming joints as for captures, completed by --target-map). Results hold the
// character's own skeleton, each frame's solved pose carried onto it: every joint that plays a target
// bone turns by that bone's world change from its rest, the others keep their rest; FBX when the output
// is .fbx, else any other format (glb and FBX carry the character's skinned mesh when it has one, else
// the box body; none with --mesh none).

#include "PoseWriter.h"
#include "Rig.h"

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace oxr {

struct FbxCharacter {
  TargetSkeleton skeleton;               // the character's joints: names, parents, bind pose (local), in `units`
  std::vector<int> plays;                // per joint: the target bone it plays (target_bone_names() index), or -1
  RigPositions rig;                      // rest places of the target bones it plays: the target's proportions
  std::shared_ptr<const BodyMesh> mesh;  // its skinned meshes as one, in the bind pose; null: none
  // Per joint, its world rotation in the bind pose turned into the canonical T-pose.
  std::vector<Quat> canonical_rest;
  // Its frame against the target's (+Y up, facing +Z, its left at +X), from its bind pose as for a
  // glTF character: a character facing +X is turned a quarter turn about Y. The rig is in the
  // target's frame; results are carried into the character's.
  Quat facing = kIdentity;

  // target_map: a JSON map file (joint name -> bone) that completes or overrides recognition; empty for
  // none. Throws Error naming the file when it is no FBX, has no skeleton or no human one (one line,
  // suggesting --target-map), naming the map file for an entry the skeleton cannot take.
  static std::shared_ptr<const FbxCharacter> read(const std::filesystem::path& path, Units units,
                                                  const std::string& target_map = {});
};

// Writes results on the character's skeleton in `format` (info describes the target's clip).
std::unique_ptr<PoseWriter> make_fbx_character_writer(const FbxCharacter& character, Format format,
                                                      const std::filesystem::path& destination, const ClipInfo& info);

}  // namespace oxr
