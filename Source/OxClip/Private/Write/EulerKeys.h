#pragma once

// What the writers that store a bone's turn as Euler angles or as a unit quaternion share.

#include "Geometry.h"

#include <cmath>
#include <cstddef>
#include <limits>

namespace oxr {

// The angles nearest to `previous` that give the same rotation as `angles` (a, b, c of three turns
// about distinct axes, b the middle one): the solution itself or its twin (a + 180, 180 - b,
// c + 180), each angle moved by whole turns. Keeps a bone's curves free of 360-degree jumps.
inline Vec3 nearest_euler(const Vec3& angles, const Vec3& previous) {
  const auto near = [](double angle, double to) {
    const double turns = (to - angle) / 360.0;
    // Within half a turn std::round gives a zero of the sign of `turns`: the common case skips the call.
    return angle + 360.0 * (std::abs(turns) < 0.5 ? std::copysign(0.0, turns) : std::round(turns));
  };
  const Vec3 twin{angles[0] + 180.0, 180.0 - angles[1], angles[2] + 180.0};
  Vec3 best{};
  double best_distance = std::numeric_limits<double>::infinity();
  for (const Vec3& candidate : {angles, twin}) {
    Vec3 moved{};
    double distance = 0;
    for (std::size_t i = 0; i < 3; ++i) {
      moved[i] = near(candidate[i], previous[i]);
      distance += std::abs(moved[i] - previous[i]);
    }
    if (distance < best_distance) {
      best = moved;
      best_distance = distance;
    }
  }
  return best;
}

}  // namespace oxr
