#pragma once

// The clip pipeline's vectors and quaternions: the one place their types and operations live.
//
// A Vec3 is {x, y, z}; a Quat is {x, y, z, w}, a rotation when of unit length. Products read right to
// left: mul(a, b) applies b first, then a, so a child's world rotation is mul(parent world, local)
// and rotate(mul(a, b), v) == rotate(a, rotate(b, v)). Angles are in degrees.

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <numbers>
#include <span>

namespace oxr {

using Vec3 = std::array<double, 3>;
using Quat = std::array<double, 4>;

inline constexpr Quat kIdentity{0.0, 0.0, 0.0, 1.0};

// ---- Vectors -------------------------------------------------------------------------------------

inline Vec3 add(const Vec3& a, const Vec3& b) { return {a[0] + b[0], a[1] + b[1], a[2] + b[2]}; }
inline Vec3 sub(const Vec3& a, const Vec3& b) { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }
inline Vec3 scale_vector(const Vec3& a, double s) { return {a[0] * s, a[1] * s, a[2] * s}; }
inline double dot(const Vec3& a, const Vec3& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
inline Vec3 cross(const Vec3& a, const Vec3& b) {
  return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}
inline double length(const Vec3& a) { return std::sqrt(a[0] * a[0] + a[1] * a[1] + a[2] * a[2]); }

// The vector scaled to unit length (times the reciprocal of its length); the zero vector stays zero.
inline Vec3 normalised(const Vec3& a) {
  const double l = length(a);
  return l > 0 ? scale_vector(a, 1 / l) : Vec3{0, 0, 0};
}

// The angle between two directions, 0 to 180. A zero vector has no direction and turns nothing: 0,
// as the angle of shortest_arc() with it (the identity).
inline double angle_degrees(const Vec3& a, const Vec3& b) {
  const double n = length(a) * length(b);
  return n > 0 ? std::acos(std::clamp(dot(a, b) / n, -1.0, 1.0)) * 180 / std::numbers::pi : 0.0;
}

// ---- Quaternions ---------------------------------------------------------------------------------

// a * b: b applied first. Always inlined: the reader calls it three times a joint, and a call hands
// every product back through memory.
[[gnu::always_inline]] inline Quat mul(const Quat& a, const Quat& b) {
  return {a[3] * b[0] + a[0] * b[3] + a[1] * b[2] - a[2] * b[1], a[3] * b[1] - a[0] * b[2] + a[1] * b[3] + a[2] * b[0],
          a[3] * b[2] + a[0] * b[1] - a[1] * b[0] + a[2] * b[3], a[3] * b[3] - a[0] * b[0] - a[1] * b[1] - a[2] * b[2]};
}

// The inverse of a unit quaternion.
inline Quat conj(const Quat& q) { return {-q[0], -q[1], -q[2], q[3]}; }

inline double dot(const Quat& a, const Quat& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2] + a[3] * b[3]; }

// The quaternion divided by its length; the identity for a zero quaternion.
inline Quat normalised(const Quat& q) {
  const double n = std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]);
  return n > 0 ? Quat{q[0] / n, q[1] / n, q[2] / n, q[3] / n} : kIdentity;
}

// q v q* for a unit quaternion q.
inline Vec3 rotate(const Quat& q, const Vec3& v) {
  // t = 2 (q.xyz x v); v' = v + w t + q.xyz x t
  const Vec3 t{2 * (q[1] * v[2] - q[2] * v[1]), 2 * (q[2] * v[0] - q[0] * v[2]), 2 * (q[0] * v[1] - q[1] * v[0])};
  return {v[0] + q[3] * t[0] + (q[1] * t[2] - q[2] * t[1]), v[1] + q[3] * t[1] + (q[2] * t[0] - q[0] * t[2]),
          v[2] + q[3] * t[2] + (q[0] * t[1] - q[1] * t[0])};
}

// The angle of the turn from rotation a to rotation b, 0 to 180, whatever their hemispheres and
// lengths; 0 when either is zero (or not finite).
inline double turn_degrees(const Quat& a, const Quat& b) {
  const double norms = std::sqrt(dot(a, a) * dot(b, b));
  if (!(norms > 0)) return 0.0;
  return 2 * std::acos(std::min(1.0, std::abs(dot(a, b)) / norms)) * (180 / std::numbers::pi);
}

// The angle of a rotation (of a quaternion of any length): its turn from the identity.
inline double angle_degrees(const Quat& q) { return turn_degrees(kIdentity, q); }

// The shortest turn taking direction a onto direction b (neither needs unit length): about a x b by
// the angle between them; half a turn about an axis across a when they are opposite; the identity
// when either is zero.
inline Quat shortest_arc(const Vec3& a, const Vec3& b) {
  const double la = length(a), lb = length(b);
  if (la <= 0 || lb <= 0) return kIdentity;
  const Vec3 axis = cross(a, b);
  const double w = la * lb + dot(a, b);
  if (w <= 1e-12 * la * lb) {
    const Vec3 across = cross(a, std::abs(a[0]) < 0.9 * la ? Vec3{1, 0, 0} : Vec3{0, 1, 0});
    return normalised(Quat{across[0], across[1], across[2], 0});
  }
  return normalised(Quat{axis[0], axis[1], axis[2], w});
}

// Spherical interpolation from a to b, fraction f of the way, along the shorter arc (b's sign flipped
// when the two lie in opposite hemispheres); linear, then normalised, when they are that close.
inline Quat slerp(const Quat& a, Quat b, double f) {
  double d = dot(a, b);
  if (d < 0) {
    for (double& c : b) c = -c;
    d = -d;
  }
  double wa = 1 - f;
  double wb = f;
  if (d < 0.9999) {
    const double angle = std::acos(d);
    const double s = std::sin(angle);
    wa = std::sin((1 - f) * angle) / s;
    wb = std::sin(f * angle) / s;
  }
  return normalised(Quat{wa * a[0] + wb * b[0], wa * a[1] + wb * b[1], wa * a[2] + wb * b[2], wa * a[3] + wb * b[3]});
}

// The same numbers bit for bit, a zero's sign included (where a value kept from the last frame may
// stand for this frame's: the same bits give the same results).
inline bool same_bits(std::span<const double> a, std::span<const double> b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::bit_cast<std::uint64_t>(a[i]) != std::bit_cast<std::uint64_t>(b[i])) return false;
  return true;
}

// ---- Hierarchies ---------------------------------------------------------------------------------

// Forward kinematics over a hierarchy stored parents first (parent_of(j) < j, negative at a root):
//   world[j] = world[p] * local_of(j),  position[j] = position[p] + world[p](translation_of(j)),
// and at a root world[j] = local_of(j), position[j] = translation_of(j). The one routine every world
// pose of the clip pipeline comes from.
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

// ---- Frames --------------------------------------------------------------------------------------

// The library's frame (+Z up, +Y left, -X forward; left-handed) and the file frame (+Y up, facing +Z,
// left at +X; right-handed, as BVH and glTF) differ by a reflection, so a rotation's axis flips sign:
// file (x, y, z, w) is library (z, -x, -y, w), and a file vector (x, y, z) is library (-z, x, y).
// Both maps only permute and negate, so converting back and forth is exact.
inline Quat to_file_axes(const Quat& q) { return {-q[1], -q[2], q[0], q[3]}; }
inline Quat to_library_axes(const Quat& q) { return {q[2], -q[0], -q[1], q[3]}; }
inline Vec3 vector_to_file_axes(const Vec3& v) { return {v[1], v[2], -v[0]}; }
inline Vec3 vector_to_library_axes(const Vec3& v) { return {-v[2], v[0], v[1]}; }

}  // namespace oxr
