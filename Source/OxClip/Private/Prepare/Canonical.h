#pragma once

// The canonical T-pose of a human skeleton, with roll: legs straight down, arms straight out, spine up,
// feet forward (the mannequin's T-pose directions), and each bone's twist about itself taken from
// anatomy rather than from the file's joint axes: the knee's hinge from the foot (or the knee's bend),
// the elbow's from the clip's bending, the bend itself or the hand's plane, the hand's from its finger
// bases, the pelvis's from the hips. Source files and target characters are both turned into it, so
// that a rotation relative to one canonical pose means the same on the other.

#include "Geometry.h"

#include <optional>
#include <string>
#include <vector>

namespace oxr {

// A skeleton standing in some pose, joints parents first, file axes (+Y up, facing +Z, left at +X).
struct PosedSkeleton {
  std::vector<int> parents;
  std::vector<Vec3> positions;     // world
  std::vector<Quat> rotations;     // world
  std::vector<std::string> bones;  // the source skeleton's bone each joint is ("LeftUpLeg"), "" for others
  // Elbow and knee hinges seen in the clip's bending (upper x lower bone, in the joint's own frame) for
  // the upper and lower joints of each limb; empty or unset where the clip does not say.
  std::vector<std::optional<Vec3>> hinges;
};

struct CanonicalPose {
  // The world turn taking each joint from the given pose to the canonical one, about the joint: the
  // canonical world rotation is turn x rotation, the canonical position
  // p'(j) = p'(parent) + turn(parent) (p(j) - p(parent)).
  std::vector<Quat> turn;
  double worst_degrees = 0;  // the largest turn of a recognised limb, spine or pelvis joint
  std::string worst_bone = "none";
};

CanonicalPose canonical_pose(const PosedSkeleton& skeleton);

// The joints' positions in the canonical pose.
std::vector<Vec3> canonical_positions(const PosedSkeleton& skeleton, const CanonicalPose& pose);

// The zero pose counts as canonical within this many degrees (every recognised joint).
constexpr double kCanonicalTolerance = 2.0;

// The hinge of a bending joint pair seen over a clip: sums upper x lower (world) taken into the
// frames of the upper and lower joints; decided when the bends agree.
class HingeSum {
 public:
  void add(const Vec3& upper, const Vec3& lower, const Quat& upper_world, const Quat& lower_world);
  // The hinge in the upper and lower joints' frames, when the clip bends enough and consistently.
  std::optional<Vec3> upper() const;
  std::optional<Vec3> lower() const;

 private:
  std::optional<Vec3> decided(const Vec3& sum) const;
  Vec3 upper_{0, 0, 0};
  Vec3 lower_{0, 0, 0};
  double magnitude_ = 0;  // sum of |upper x lower| / (|upper| |lower|)
  int frames_ = 0;        // frames bent more than 10 degrees
};

}  // namespace oxr
