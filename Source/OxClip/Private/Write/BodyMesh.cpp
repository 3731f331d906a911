#include "BodyMesh.h"

#include <array>
#include <cmath>

namespace oxr {
namespace {

// Appends a box from a to b, carried by `bone`: 6 faces of 4 vertices (flat normals), 12 triangles
// wound counter-clockwise seen from outside.
void add_box(BodyMesh& mesh, const Vec3& a, const Vec3& b, int bone) {
  const double length_ab = length(sub(b, a));
  if (length_ab < 1e-6) return;
  const Vec3 d = normalised(sub(b, a));
  // A side axis across the segment, from the world axis least aligned with it.
  const Vec3 least = std::abs(d[0]) < std::abs(d[1])
                         ? (std::abs(d[0]) < std::abs(d[2]) ? Vec3{1, 0, 0} : Vec3{0, 0, 1})
                         : (std::abs(d[1]) < std::abs(d[2]) ? Vec3{0, 1, 0} : Vec3{0, 0, 1});
  const Vec3 u = normalised(cross(d, least));
  const Vec3 v = cross(d, u);
  const double half = 0.125 * length_ab;
  const auto corner = [&](int s, int t, int w) {
    return add(add(s != 0 ? b : a, scale_vector(u, t * half)), scale_vector(v, w * half));
  };
  // Each face: its outward normal and its four corners around it.
  const std::array<std::pair<Vec3, std::array<Vec3, 4>>, 6> faces{{
      {scale_vector(d, -1), {corner(0, -1, -1), corner(0, 1, -1), corner(0, 1, 1), corner(0, -1, 1)}},
      {d, {corner(1, -1, -1), corner(1, 1, -1), corner(1, 1, 1), corner(1, -1, 1)}},
      {scale_vector(u, -1), {corner(0, -1, -1), corner(1, -1, -1), corner(1, -1, 1), corner(0, -1, 1)}},
      {u, {corner(0, 1, -1), corner(1, 1, -1), corner(1, 1, 1), corner(0, 1, 1)}},
      {scale_vector(v, -1), {corner(0, -1, -1), corner(1, -1, -1), corner(1, 1, -1), corner(0, 1, -1)}},
      {v, {corner(0, -1, 1), corner(1, -1, 1), corner(1, 1, 1), corner(0, 1, 1)}},
  }};
  for (const auto& [normal, quad] : faces) {
    const auto first = static_cast<std::uint32_t>(mesh.positions.size() / 3);
    for (const Vec3& p : quad) {
      for (std::size_t i = 0; i < 3; ++i) {
        mesh.positions.push_back(static_cast<float>(p[i]));
        mesh.normals.push_back(static_cast<float>(normal[i]));
      }
      mesh.joints.insert(mesh.joints.end(), {static_cast<std::uint16_t>(bone), 0, 0, 0});
      mesh.weights.insert(mesh.weights.end(), {1.0f, 0.0f, 0.0f, 0.0f});
    }
    const bool outward = dot(cross(sub(quad[1], quad[0]), sub(quad[2], quad[0])), normal) > 0;
    const std::array<int, 6> order =
        outward ? std::array<int, 6>{0, 1, 2, 0, 2, 3} : std::array<int, 6>{0, 2, 1, 0, 3, 2};
    for (const int k : order) mesh.indices.push_back(first + static_cast<std::uint32_t>(k));
  }
}

}  // namespace

BodyMesh make_body_mesh(const TargetSkeleton& skeleton, double metres_per_unit) {
  BodyMesh mesh;
  const std::size_t n = skeleton.names.size();
  std::vector<bool> leaf(n, true);
  for (std::size_t j = 0; j < n; ++j) {
    const int parent = skeleton.parents[j];
    if (parent < 0) continue;
    leaf[static_cast<std::size_t>(parent)] = false;
    if (parent == skeleton.root) continue;
    const auto p = static_cast<std::size_t>(parent);
    add_box(mesh, scale_vector(skeleton.rest_world[p], metres_per_unit),
            scale_vector(skeleton.rest_world[j], metres_per_unit), parent);
  }
  for (std::size_t j = 0; j < n; ++j) {
    if (!leaf[j]) continue;
    const Vec3 tip = add(skeleton.rest_world[j], rotate(skeleton.rest_world_rotation[j], skeleton.end_sites[j]));
    add_box(mesh, scale_vector(skeleton.rest_world[j], metres_per_unit), scale_vector(tip, metres_per_unit),
            static_cast<int>(j));
  }
  return mesh;
}

}  // namespace oxr
