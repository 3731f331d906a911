#pragma once

// The retargeting library as the clip pipeline sees it: its two skeletons as plain data and a solver
// that takes the source's local rotations and returns the paired target bones' local rotations.
// Rotations are {x, y, z, w} in the library's axes (+Z up, +Y left, -X forward).

#include "Geometry.h"

#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace oxr {

// One of the library's skeletons, bones in build order (a parent precedes its children).
struct SkeletonData {
  std::vector<std::string> names;
  std::vector<int> parents;        // -1 at the root
  std::vector<Quat> t_pose_local;  // local T-pose rotation of each bone
  std::vector<Quat> t_pose_world;  // world T-pose rotation of each bone

  // The bone's index, ignoring letter case; -1 for a name the skeleton lacks.
  int index_of(std::string_view name) const;
};

// The source skeleton (KZ, 67 bones) and the target skeleton (UE, 64 bones).
const SkeletonData& source_skeleton();
const SkeletonData& target_skeleton();

// The built-in pairing: source bone i drives target bone i (52 pairs, pairing order).
struct Pairing {
  std::vector<std::string> source;
  std::vector<std::string> target;
};
const Pairing& builtin_pairing();

// The outline the library prints for a skeleton ("kz" or "ue"), one line per bone.
std::string skeleton_outline(std::string_view kind);

// A retargeter set up once; solve() is called per frame and does not allocate. Copies solve
// independently of each other (one per thread).
class Solver {
 public:
  // The built-in pairing.
  Solver();
  // A pairing of one's own: source_names[i] drives target_names[i]; the lists must have equal length.
  Solver(const std::vector<std::string>& source_names, const std::vector<std::string>& target_names);
  Solver(const Solver& other);
  Solver& operator=(const Solver& other);
  Solver(Solver&&) noexcept;
  Solver& operator=(Solver&&) noexcept;
  ~Solver();

  // The paired target bones, in pairing order, with their parents ("None" at the root) and local
  // T-pose rotations.
  const std::vector<std::string>& meta_bones() const;
  const std::vector<std::string>& meta_parents() const;
  const std::vector<Quat>& meta_t_pose() const;

  // Solves one frame. source_local: the local rotation of every source bone, in source_skeleton()
  // order (67 entries); meta_out: one entry per meta bone. With fingers_t_pose every target finger
  // bone keeps its T-pose.
  void solve(std::span<const Quat> source_local, bool fingers_t_pose, std::span<Quat> meta_out);

  // A target bone's local rotation after the last solve (its T-pose before the first); the identity
  // for a name the target skeleton lacks.
  Quat meta_pose(std::string_view bone) const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace oxr
