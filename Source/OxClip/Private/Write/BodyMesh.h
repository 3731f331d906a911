#pragma once

// A body for viewers: a box around each bone of the target skeleton, skinned to that bone; or a
// character's own skinned mesh.

#include "Rig.h"

#include <cstdint>
#include <string>
#include <vector>

namespace oxr {

// Vertex streams of one triangle list, ready for glTF accessors. Positions and normals are in the
// bind pose (the rest pose), file axes, metres; each vertex follows up to four joints (indices into
// the skeleton's bones) with weights summing to 1, the heaviest first.
struct BodyMesh {
  std::vector<float> positions;       // x y z per vertex
  std::vector<float> normals;         // x y z per vertex, unit length
  std::vector<std::uint16_t> joints;  // 4 per vertex (unused slots 0 with weight 0)
  std::vector<float> weights;         // 4 per vertex
  std::vector<std::uint32_t> indices;
  std::string name = "OxRetarget_Body";  // of the mesh and its material
};

// One box per bone segment: from each joint to each child joint (carried by the joint's bone) and,
// on a leaf, from the joint to its tip. A box's cross-section is a quarter of its length wide. The
// segment from the root to the pelvis (the ground to the hips) gets none.
BodyMesh make_body_mesh(const TargetSkeleton& skeleton, double metres_per_unit);

}  // namespace oxr
