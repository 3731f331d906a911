#pragma once

// The user's own character: a glTF 2.0 file (.glb or .gltf) with a skinned mesh whose skeleton is
// named like the target. Results are that file with the retargeted clip added as one more animation.

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

  // Reads a character. Throws ToolError naming the file when it is not glTF 2.0, has no skin, or its
  // node names name no target bone (letter case and namespace prefixes aside), and naming the node
  // when a bone or a node above one has a rest pose the animation cannot carry: a zero or non-finite
  // rotation, a zero, extreme or mirroring scale or matrix, a translation beyond 1e9 m.
  static std::shared_ptr<const Character> read(const std::filesystem::path& path, Units units);

  const std::filesystem::path& path() const { return path_; }
  bool binary() const { return binary_; }
  // Rest positions of the target bones it names, as read_target_rig gives them.
  const RigPositions& rig() const { return rig_; }
  const std::vector<Node>& nodes() const { return nodes_; }
  const std::vector<int>& order() const { return order_; }  // every node, parents first
  const std::string& json() const { return json_; }
  const std::string& bin() const { return bin_; }  // the glb's binary chunk
  // The files besides itself that it refers to (buffers, images), as the reader found them.
  const std::vector<std::filesystem::path>& files() const { return files_; }

 private:
  std::filesystem::path path_;
  bool binary_ = false;
  RigPositions rig_;
  std::vector<Node> nodes_;
  std::vector<int> order_;
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
