#pragma once

// Checks a retargeted clip for what usually means it came out wrong, frame by frame.

#include "Geometry.h"
#include "Rig.h"

#include <cstdint>
#include <string>
#include <vector>

namespace oxr {

struct ClipInfo;
struct FramePose;
struct JointMatch;

// Thresholds, as the README documents them.
inline constexpr double kSpikeDegreesPerSecond = 1500.0;  // a bone turning faster than this between frames
inline constexpr double kBentDegrees = 15.0;              // a knee or elbow bent at least this much is judged

class ClipQa {
 public:
  explicit ClipQa(const ClipInfo& info);

  // Looks at one frame: local rotations of every target bone and world positions of its joints.
  void observe(std::int64_t frame, const FramePose& pose, const std::vector<Vec3>& world);

  // One line per finding, naming bone and frame; source bones of the pairing the file lacks first.
  std::vector<std::string> warnings() const;

 private:
  struct Finding {
    std::int64_t first = -1;
    std::int64_t count = 0;
    double worst = 0;
  };
  void note(Finding& finding, std::int64_t frame, double value);

  TargetSkeleton skeleton_;
  double frame_time_;
  std::vector<std::string> missing_;
  std::vector<Quat> previous_;
  bool have_previous_ = false;
  std::vector<Finding> flips_;
  std::vector<Finding> spikes_;
  struct Hinge {
    int upper, lower, end;  // joints: shoulder or hip, elbow or knee, wrist or ankle
    double sign;            // +1: the joint's bend moves it forward of the straight line
    Finding backwards;
  };
  std::vector<Hinge> hinges_;
};

}  // namespace oxr
