#pragma once

// A glTF character's bind pose: the pose its mesh was skinned in, from the skin's inverse bind
// matrices. Node transforms may hold a posed frame; the bind pose does not depend on them for joints.

#include "Geometry.h"

#include <vector>

namespace tinygltf {
class Model;
}

namespace oxr {

struct GltfBindPose {
  std::vector<int> parents;     // -1 for a node without a parent
  std::vector<Quat> rotations;  // world rotation of each node
  std::vector<Vec3> positions;  // world position of each node, file units of the glTF (metres)
};

// Every node's world transform at the bind pose: a joint of the first skin that names it is placed by
// the inverse of its inverse bind matrix, any other node by its own transform below its parent.
GltfBindPose gltf_bind_pose(const tinygltf::Model& model);

// The rotation of an orthonormal 3x3 matrix given by its columns.
Quat matrix_rotation(const Vec3& x, const Vec3& y, const Vec3& z);

}  // namespace oxr
