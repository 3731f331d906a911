#pragma once

#include <vector>

#include "OxRetarget_KZ_UE.h"

// The least work that yields the retargeter's target rotations for rotation-only poses, on flat
// arrays prepared once: source world rotations top-down, per curl pair the roll and one Z rotation,
// per world-delta pair the world-delta products with conj(ST) precomputed, unpaired target bones
// composed parents-first. No names, no checks, no translations or scales.
class ArithmeticFloor {
 public:
  // Reads hierarchy, rest poses and the built-in pairing from an initialised retargeter.
  explicit ArithmeticFloor(OxRetarget_KZ_UE& retargeter);

  // Solves one frame from source local rotations given in source bone order; with fingers_t_pose
  // every finger bone takes its local T-pose.
  void solve(const TQuat<double>* source_local, bool fingers_t_pose);
  // Source world rotations top-down from source local rotations (the first part of solve).
  void source_world(const TQuat<double>* source_local);
  // After solve: world rotations of the target bones solve did not need (curl and resting fingers).
  void complete_target_world();
  const TQuat<double>& world(int index) const { return des_world_[static_cast<size_t>(index)]; }

  // Local rotation of target bone `index` (target bone order) after solve.
  const TQuat<double>& local(int index) const { return des_local_[static_cast<size_t>(index)]; }

 private:
  enum class Kind { WorldDelta, Curl, Unpaired, FingerRest };
  struct Step {
    Kind kind;
    int des;
    int parent;  // target parent, -1 at the root
    int src;
    double half_angle_sign;  // curl: sign / 2 in radians per degree folded in
    TQuat<double> conj_src_t_pose_world;
    TQuat<double> des_t_pose_world;
  };

  std::vector<int> src_parent_;
  std::vector<TQuat<double>> src_world_;
  std::vector<Step> steps_;
  // The same schedule with every finger bone resting in its T-pose.
  std::vector<Step> rest_steps_;
  std::vector<TQuat<double>> des_world_;
  std::vector<TQuat<double>> des_local_;
};
