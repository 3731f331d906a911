#pragma once

// Checks a retargeted clip for what usually means it came out wrong, frame by frame.

#include "Geometry.h"
#include "Rig.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace oxr {

struct ClipInfo;
struct FramePose;
struct JointMatch;

// Thresholds, as the README documents them.
inline constexpr double kSpikeDegreesPerSecond = 1500.0;  // a bone turning faster than this between frames
inline constexpr double kBentDegrees = 15.0;              // a knee or elbow bent at least this much is judged

// One finding, as a program reading the report sorts and filters it.
struct QaWarning {
  std::string kind;  // missing_bone, bends_backwards, spike or hemisphere_flip
  std::string bone;  // the source bone for missing_bone, else the target bone
  std::int64_t first_frame = 0;
  std::int64_t last_frame = 0;
  std::int64_t frames = 0;      // frames it was seen in
  std::optional<double> value;  // the worst: degrees (bends_backwards), degrees/s (spike)
  std::string text;             // the finding in one line
};

// One line per kind of finding: a kind seen on several bones is summed up once, with the number of
// bones, the frames and the worst case.
std::vector<std::string> warning_lines(const std::vector<QaWarning>& warnings);

class ClipQa {
 public:
  explicit ClipQa(const ClipInfo& info);

  // Looks at one frame: local rotations of every target bone and world positions of its joints.
  void observe(std::int64_t frame, const FramePose& pose, const std::vector<Vec3>& world);

  // Every finding, naming bone and frames; source bones of the pairing the file lacks first.
  std::vector<QaWarning> warnings() const;

 private:
  struct Finding {
    std::int64_t first = -1;
    std::int64_t last = -1;
    std::int64_t count = 0;
    double worst = 0;
  };
  void note(Finding& finding, std::int64_t frame, double value);

  TargetSkeleton skeleton_;
  double frame_time_;
  std::vector<std::string> missing_;
  std::vector<Quat> previous_;
  bool have_previous_ = false;
  std::int64_t observed_ = 0;
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
