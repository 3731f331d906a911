#pragma once

// A rig's rest positions from a glTF model already read (a character's file is read once).

#include "Rig.h"

#include <tiny_gltf.h>

namespace oxr {

// Rest positions of the nodes named like target bones, by walking the node tree from every scene
// root, metres to `units`.
RigPositions rig_from_gltf(const tinygltf::Model& model, Units units);

}  // namespace oxr
