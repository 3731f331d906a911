#pragma once

// A simple body for viewers: a box around each bone of the target skeleton, skinned to that bone.

#include "Rig.h"

#include <cstdint>
#include <vector>

namespace oxr {

// Vertex streams of one triangle list, ready for glTF accessors. Positions and normals are in the
// bind pose (the rest pose), file axes, metres; each vertex follows one joint (joints[4 v], weight
// 1), a joint being an index into the skeleton's bones.
struct BodyMesh {
  std::vector<float> positions;      // x y z per vertex
  std::vector<float> normals;        // x y z per vertex, unit length
  std::vector<std::uint8_t> joints;  // 4 per vertex: the bone, then three unused zeros
  std::vector<float> weights;        // 4 per vertex: 1 0 0 0
  std::vector<std::uint16_t> indices;
};

// One box per bone segment: from each joint to each child joint (carried by the joint's bone) and,
// on a leaf, from the joint to its tip. A box's cross-section is a quarter of its length wide. The
// segment from the root to the pelvis (the ground to the hips) gets none.
BodyMesh make_body_mesh(const TargetSkeleton& skeleton, double metres_per_unit);

}  // namespace oxr
