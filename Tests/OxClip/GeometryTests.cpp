// The clip pipeline's vectors and quaternions: composition order, the angle and shortest-arc edge
// cases, forward kinematics on a drawn tree.
#include "Geometry.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

namespace {

using oxr::Quat;
using oxr::Vec3;

constexpr double kTol = 1e-12;
const double kHalf = std::sqrt(0.5);
const Quat kX90{kHalf, 0, 0, kHalf};  // 90 degrees about X: +Y -> +Z
const Quat kZ90{0, 0, kHalf, kHalf};  // 90 degrees about Z: +X -> +Y

void expect_near(const Vec3& actual, const Vec3& expected) {
  for (std::size_t i = 0; i < 3; ++i) EXPECT_NEAR(actual[i], expected[i], kTol) << "component " << i;
}

TEST(Geometry, ProductAppliesTheRightFactorFirst) {
  // mul(Z90, X90) turns +Y to +Z (X90 first), then leaves +Z where it is (Z90): +Z.
  // mul(X90, Z90) turns +Y to -X (Z90 first), then leaves -X where it is (X90): -X.
  expect_near(oxr::rotate(oxr::mul(kZ90, kX90), {0, 1, 0}), {0, 0, 1});
  expect_near(oxr::rotate(oxr::mul(kX90, kZ90), {0, 1, 0}), {-1, 0, 0});
  expect_near(oxr::rotate(oxr::conj(kZ90), {0, 1, 0}), {1, 0, 0});
}

TEST(Geometry, AnglesAndShortestArcsAgreeIncludingZeroAndOppositeVectors) {
  // A zero vector has no direction: no angle, no turn.
  EXPECT_EQ(oxr::angle_degrees(Vec3{0, 0, 0}, Vec3{1, 2, 3}), 0.0);
  EXPECT_EQ(oxr::angle_degrees(Vec3{1, 2, 3}, Vec3{0, 0, 0}), 0.0);
  EXPECT_EQ(oxr::shortest_arc({0, 0, 0}, {1, 2, 3}), oxr::kIdentity);
  EXPECT_EQ(oxr::angle_degrees(Quat{0, 0, 0, 0}), 0.0);
  EXPECT_NEAR(oxr::angle_degrees(Vec3{2, 0, 0}, Vec3{0, 0, 5}), 90.0, kTol);
  EXPECT_NEAR(oxr::angle_degrees(kZ90), 90.0, 1e-9);
  EXPECT_NEAR(oxr::turn_degrees(kZ90, oxr::mul(kX90, kZ90)), 90.0, 1e-9);

  // Random pairs, the opposite and the equal direction among them: the arc takes a's direction onto
  // b's, by the angle between them.
  std::mt19937 random(7);
  std::uniform_real_distribution<double> coordinate(-2, 2);
  for (int k = 0; k < 64; ++k) {
    const Vec3 a{coordinate(random), coordinate(random), coordinate(random)};
    const Vec3 b = k == 0   ? oxr::scale_vector(a, -3)
                   : k == 1 ? oxr::scale_vector(a, 2)
                            : Vec3{coordinate(random), coordinate(random), coordinate(random)};
    const Quat arc = oxr::shortest_arc(a, b);
    EXPECT_NEAR(std::sqrt(oxr::dot(arc, arc)), 1.0, kTol);
    expect_near(oxr::rotate(arc, oxr::normalised(a)), oxr::normalised(b));
    EXPECT_NEAR(oxr::angle_degrees(arc), oxr::angle_degrees(a, b), 1e-6) << "pair " << k;
  }
}

TEST(Geometry, ForwardKinematicsComposesParentsFirst) {
  // root (translation (0, 0, 1))
  //  +- A  (90 deg about Z, translation (1, 0, 0))
  //      +- B  (90 deg about X, translation (0, 2, 0))
  // World translation of B = (0, 0, 1) + (1, 0, 0) + Rz90 (0, 2, 0) = (-1, 0, 1);
  // world rotation of B = Rz90 * Rx90, which turns +Y to +Z.
  const int parents[] = {-1, 0, 1};
  const Quat local[] = {oxr::kIdentity, kZ90, kX90};
  const Vec3 translation[] = {{0, 0, 1}, {1, 0, 0}, {0, 2, 0}};
  Quat world[3];
  Vec3 position[3];
  oxr::forward_kinematics(
      3, [&](std::size_t j) { return parents[j]; }, [&](std::size_t j) { return local[j]; },
      [&](std::size_t j) { return translation[j]; }, world, position);
  expect_near(position[2], {-1, 0, 1});
  expect_near(oxr::rotate(world[2], {0, 1, 0}), {0, 0, 1});
  Quat rotations_only[3];
  oxr::forward_rotations(
      3, [&](std::size_t j) { return parents[j]; }, [&](std::size_t j) { return local[j]; }, rotations_only);
  for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(rotations_only[2][i], world[2][i]);
}

}  // namespace
