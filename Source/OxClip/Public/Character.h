#pragma once

// The user's own character: a glTF 2.0 file (.glb, .gltf or a VRM's .vrm) with a skinned mesh of a
// humanoid skeleton in any naming: the file's VRM humanoid map, else recognition of its skin's joints,
// says which node plays which target bone. Results are that file with the clip as one more animation.

#include "Geometry.h"
#include "PoseWriter.h"
#include "Rig.h"

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace oxr {

class Character {
 public:
  // One node of the file: its name, parent and rest pose. A node given by a matrix is decomposed.
  struct Node {
    std::string name;
    int parent = -1;
    Quat rotation = kIdentity;
    Vec3 translation{0, 0, 0};
    Vec3 scale{1, 1, 1};
    bool matrix = false;  // given as a matrix in the file
  };

  // A node that plays a target bone, and what said so ("name", "structure", "VRM humanoid map", "map file",
  // "target bone name").
  struct Role {
    int node = -1;
    std::string bone;  // the target bone
    std::string evidence;
  };

  // Reads a character. target_map: a JSON map file (node name -> bone) that completes or overrides what
  // the file's VRM map or recognition gives; empty for none. Throws Error naming the file when it is
  // not glTF 2.0, has no skin or is not a human (the one line says what is missing), naming the map file
  // for an entry the character cannot take, and naming the node
  // when a bone or a node above one has a rest pose the animation cannot carry: a zero or non-finite
  // rotation, a zero, extreme or mirroring scale or matrix, a translation beyond 1e9 m.
  static std::shared_ptr<const Character> read(const std::filesystem::path& path, Units units,
                                               const std::string& target_map = {});

  const std::vector<Role>& roles() const { return roles_; }
  const std::vector<int>& target_of() const { return target_of_; }  // per node: target bone index or -1
  const std::string& mapping_source() const { return mapping_source_; }
  const std::vector<std::string>& ignored_joints() const { return ignored_; }  // skin joints that do not deform
  // The character's frame against the target's (+Y up, facing +Z, its left at +X), from its rest pose:
  // a VRM 0.x character facing -Z is turned half a turn about Y.
  const Quat& facing() const { return facing_; }
  bool vrm() const { return vrm_; }

  const std::filesystem::path& path() const { return path_; }
  bool binary() const { return binary_; }
  // Rest positions (bind pose) of the target bones it plays, in the target's frame, as read_target_rig
  // gives them.
  const RigPositions& rig() const { return rig_; }
  const std::vector<Node>& nodes() const { return nodes_; }
  const std::vector<int>& order() const { return order_; }  // every node, parents first
  // Each node's world rotation in the character's own rest turned into the canonical T-pose: its bind
  // pose (inverse bind matrices), whatever it is, with each limb turned straight and its roll set by
  // its anatomy.
  const std::vector<Quat>& rest_world() const { return rest_world_; }
  const std::string& json() const { return json_; }
  const std::string& bin() const { return bin_; }  // the glb's binary chunk
  // The files besides itself that it refers to (buffers, images), as the reader found them.
  const std::vector<std::filesystem::path>& files() const { return files_; }

 private:
  std::filesystem::path path_;
  bool binary_ = false;
  RigPositions rig_;
  std::vector<Role> roles_;
  std::vector<int> target_of_;
  std::string mapping_source_;
  std::vector<std::string> ignored_;
  Quat facing_ = kIdentity;
  bool vrm_ = false;
  std::vector<Node> nodes_;
  std::vector<int> order_;
  std::vector<Quat> rest_world_;
  std::string json_;
  std::string bin_;
  std::vector<std::filesystem::path> files_;
};

// Writes the character with the clip as a new animation named after the source file, in the
// character's own container (glb or gltf with a .bin beside it for the animation's data). The
// character's bytes are copied unchanged: its JSON text is kept as written, with the animation's
// objects added to its arrays, and the animation's data is appended after its binary chunk.
std::unique_ptr<PoseWriter> make_character_writer(const Character& character, const std::filesystem::path& destination,
                                                  const ClipInfo& info);

}  // namespace oxr
