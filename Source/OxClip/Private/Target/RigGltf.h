#pragma once

// A rig's rest positions from a glTF model already read (a character's file is read once).

#include "Rig.h"

#include <string>

#include <tiny_gltf.h>

namespace oxr {

// Rest positions of the nodes named like target bones (see read_target_rig), walking up the node
// tree to its root, metres to `units`. Throws ToolError naming `path` when they lack the pelvis or
// one is not finite.
RigPositions gltf_rig(const tinygltf::Model& model, const std::string& path, Units units);

}  // namespace oxr
