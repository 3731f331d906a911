#pragma once

// Which node of a character plays which target bone: the file's own VRM humanoid map when it has one,
// else the recognition that reads a capture's skeleton, run on the skin's deforming joints in their bind
// pose; a --target-map file completes or overrides either. Private to Character.cpp.

#include "Character.h"
#include "Recognition.h"

#include <string>
#include <vector>

namespace tinygltf {
class Model;
}

namespace oxr {

struct CharacterMapping {
  std::vector<int> target_of;              // per node: index into target_bone_names(), -1 for none
  std::vector<Character::Role> roles;      // the nodes that play a target bone, in node order
  std::string source;                      // what decided: "VRM 1.0 humanoid map", "names and structure", ...
  std::vector<std::string> ignored;        // skin joints left out as not deforming (IK, control, helpers)
};

// Throws ToolError naming the file for a character that is not a human (one line, what is missing) and
// for a map file that names a node the file lacks or a bone no skeleton has.
CharacterMapping map_character(const tinygltf::Model& model, const std::vector<Character::Node>& nodes,
                               const std::vector<int>& order, const std::string& file, const JointMap& target_map,
                               const std::string& map_name);

// The humanoid bone names VRM 1.0 uses (also VRM 0.x's, whose thumb is proximal, intermediate, distal),
// and the target bone each plays; empty for a VRM bone the target lacks.
const std::vector<std::pair<std::string, std::string>>& vrm_bones();

}  // namespace oxr
