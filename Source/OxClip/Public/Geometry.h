#pragma once

// Small quaternion and vector helpers for the tool's own geometry (offsets, positions, root motion).
// Quaternions are {x, y, z, w}; products read right to left: (a * b) applies b first.

#include "BvhReader.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <numbers>
#include <span>

namespace oxr {

using Vec3 = std::array<double, 3>;
using bvh::Quat;

inline constexpr Quat kIdentity{0.0, 0.0, 0.0, 1.0};

// Always inlined: the reader calls it three times a joint, and a call hands every product back
// through memory.
[[gnu::always_inline]] inline Quat mul(const Quat& a, const Quat& b) {
  return {a[3] * b[0] + a[0] * b[3] + a[1] * b[2] - a[2] * b[1], a[3] * b[1] - a[0] * b[2] + a[1] * b[3] + a[2] * b[0],
          a[3] * b[2] + a[0] * b[1] - a[1] * b[0] + a[2] * b[3], a[3] * b[3] - a[0] * b[0] - a[1] * b[1] - a[2] * b[2]};
}

inline Quat conj(const Quat& q) { return {-q[0], -q[1], -q[2], q[3]}; }

// q v q* for a unit quaternion q.
inline Vec3 rotate(const Quat& q, const Vec3& v) {
  // t = 2 (q.xyz x v); v' = v + w t + q.xyz x t
  const Vec3 t{2 * (q[1] * v[2] - q[2] * v[1]), 2 * (q[2] * v[0] - q[0] * v[2]), 2 * (q[0] * v[1] - q[1] * v[0])};
  return {v[0] + q[3] * t[0] + (q[1] * t[2] - q[2] * t[1]), v[1] + q[3] * t[1] + (q[2] * t[0] - q[0] * t[2]),
          v[2] + q[3] * t[2] + (q[0] * t[1] - q[1] * t[0])};
}

inline Vec3 add(const Vec3& a, const Vec3& b) { return {a[0] + b[0], a[1] + b[1], a[2] + b[2]}; }
inline Vec3 sub(const Vec3& a, const Vec3& b) { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }
inline Vec3 scale_vector(const Vec3& a, double s) { return {a[0] * s, a[1] * s, a[2] * s}; }
inline double length(const Vec3& a) { return std::sqrt(a[0] * a[0] + a[1] * a[1] + a[2] * a[2]); }
inline Vec3 cross(const Vec3& a, const Vec3& b) {
  return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

// Rotation angle of a (not necessarily unit) quaternion, in degrees; 0 for the zero quaternion.
inline double angle_degrees(const Quat& q) {
  const double n = std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]);
  return n > 0 ? 2 * std::acos(std::min(1.0, std::abs(q[3]) / n)) * (180 / std::numbers::pi) : 0.0;
}

// Forward kinematics over a hierarchy stored parents first (parent_of(j) < j, negative at a root):
//   world[j] = world[p] * local_of(j),  position[j] = position[p] + world[p](translation_of(j)),
// and at a root world[j] = local_of(j), position[j] = translation_of(j). The one routine every world
// pose of the tool side comes from.
template <typename ParentOf, typename LocalOf, typename TranslationOf>
void forward_kinematics(std::size_t count, ParentOf&& parent_of, LocalOf&& local_of, TranslationOf&& translation_of,
                        std::span<Quat> world, std::span<Vec3> position) {
  for (std::size_t j = 0; j < count; ++j) {
    const int parent = parent_of(j);
    const Quat& local = local_of(j);
    const Vec3 t = translation_of(j);
    if (parent < 0) {
      world[j] = local;
      position[j] = t;
    } else {
      const auto p = static_cast<std::size_t>(parent);
      world[j] = mul(world[p], local);
      position[j] = add(position[p], rotate(world[p], t));
    }
  }
}

// The same for world rotations alone.
template <typename ParentOf, typename LocalOf>
void forward_rotations(std::size_t count, ParentOf&& parent_of, LocalOf&& local_of, std::span<Quat> world) {
  for (std::size_t j = 0; j < count; ++j) {
    const int parent = parent_of(j);
    world[j] = parent < 0 ? local_of(j) : mul(world[static_cast<std::size_t>(parent)], local_of(j));
  }
}

// The library's frame (+Z up, +Y left, -X forward; left-handed) and the file frame (+Y up, facing +Z,
// left at +X; right-handed, as BVH and glTF) differ by a reflection, so a rotation's axis flips sign:
// file (x, y, z, w) is library (z, -x, -y, w), and a file vector (x, y, z) is library (-z, x, y).
// Both maps only permute and negate, so converting back and forth is exact.
inline Quat to_file_axes(const Quat& q) { return {-q[1], -q[2], q[0], q[3]}; }
inline Quat to_library_axes(const Quat& q) { return bvh::bvh_to_library_axes(q); }
inline Vec3 vector_to_file_axes(const Vec3& v) { return {v[1], v[2], -v[0]}; }
inline Vec3 vector_to_library_axes(const Vec3& v) { return {-v[2], v[0], v[1]}; }

}  // namespace oxr
